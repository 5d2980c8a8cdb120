#!/usr/bin/env python3
"""Write small speech-model files whose transcript is chosen in advance.

No real weights can be fetched here, and random weights give garbage, slow
text. So the generator writes a file in the library's legacy ggml layout whose
decoder ignores the audio and replays a fixed token script. See README.md in
this folder for how and for the limits.

Module:  gen_model.write_model(path, segments=None, language="en",
                               no_space_token=False, broken=None, n_state=64,
                               n_head=1, n_audio_layer=1, n_text_layer=1)
         gen_model.min_samples(n_segments) -> fewest samples for all segments
CLI:     gen_model.py OUT [--segment HEX]... [--no-segments] [--language L]
                      [--no-space-token] [--broken KIND] [--n-state N]
                      [--n-head N] [--n-audio-layer N] [--n-text-layer N]

Python standard library only, no randomness: the same options give the same
bytes.
"""

import argparse
import math
import struct
import sys

MAGIC = 0x67676D6C
N_VOCAB = 51865  # multilingual: the prompt carries a language, "auto" detects one
N_AUDIO_CTX = 1500
N_TEXT_CTX = 448
N_MELS = 80
N_FFT = 201
FTYPE_F16 = 1  # an all-f32 file aborts the library inside im2col
T_F32, T_F16 = 0, 1

# Control-token ids of a 51865-entry vocabulary, as the loader derives them.
EOT = 50257
SOT = 50258
TRANSCRIBE = 50359
BEG = 50364  # <|0.00|>; ids above it are timestamps of 0.02 s each

# The loader's language table, in id order (the language token is SOT+1+id).
# "yue" is left out: a 51865-entry vocabulary has no token for it.
LANGS = (
    "en english|zh chinese|de german|es spanish|ru russian|ko korean|"
    "fr french|ja japanese|pt portuguese|tr turkish|pl polish|ca catalan|"
    "nl dutch|ar arabic|sv swedish|it italian|id indonesian|hi hindi|"
    "fi finnish|vi vietnamese|he hebrew|uk ukrainian|el greek|ms malay|"
    "cs czech|ro romanian|da danish|hu hungarian|ta tamil|no norwegian|"
    "th thai|ur urdu|hr croatian|bg bulgarian|lt lithuanian|la latin|"
    "mi maori|ml malayalam|cy welsh|sk slovak|te telugu|fa persian|"
    "lv latvian|bn bengali|sr serbian|az azerbaijani|sl slovenian|"
    "kn kannada|et estonian|mk macedonian|br breton|eu basque|is icelandic|"
    "hy armenian|ne nepali|mn mongolian|bs bosnian|kk kazakh|sq albanian|"
    "sw swahili|gl galician|mr marathi|pa punjabi|si sinhala|km khmer|"
    "sn shona|yo yoruba|so somali|af afrikaans|oc occitan|ka georgian|"
    "be belarusian|tg tajik|sd sindhi|gu gujarati|am amharic|yi yiddish|"
    "lo lao|uz uzbek|fo faroese|ht haitian creole|ps pashto|tk turkmen|"
    "nn nynorsk|mt maltese|sa sanskrit|lb luxembourgish|my myanmar|"
    "bo tibetan|tl tagalog|mg malagasy|as assamese|tt tatar|haw hawaiian|"
    "ln lingala|ha hausa|ba bashkir|jw javanese|su sundanese"
).split("|")
LANG_IDS = {}
for _i, _entry in enumerate(LANGS):
    _code, _name = _entry.split(" ", 1)
    LANG_IDS[_code] = _i
    LANG_IDS[_name] = _i

# The library decodes at most n_text_ctx/2 - 4 tokens per 30 s window, the
# end-of-text token included; a longer script would be cut and then retried.
MAX_SCRIPT_TOKENS = N_TEXT_CTX // 2 - 4
PIECE_BYTES = 8
DEFAULT_SEGMENTS = (b" Hello world.",)
BROKEN_KINDS = ("empty", "bad-magic", "cut-tensors")

# Gains of the lookup table. A matching key drives its hidden unit to
# ALPHA*(1-THETA); any other key has a cosine of at most about 1/8 with it
# (n_state 64), which leaves its unit far below zero, where GELU is flat at 0.
# The unit's output outweighs the residual input about a hundredfold, and the
# final norm scales the winning logit to TOP_LOGIT while every token outside
# the script sits at exactly 0.
ALPHA = 24.0
THETA = 0.5
BETA = 8.0
TOP_LOGIT = 80.0


def min_samples(n_segments=1):
    """Fewest 16 kHz samples for which all n_segments come out. The library
    does nothing under 10 mel frames (160 samples each, after 200 of padding)
    and ends a window at any timestamp within 10 frames of the audio's end;
    the script's timestamps step by 2 frames, two per segment boundary."""
    return 200 + 160 * max(10, 4 * n_segments + 6)


def gpt2_byte_order():
    """Bytes in GPT-2's token order: printable ones first, so " " is id 220."""
    order = (list(range(0x21, 0x7F)) + list(range(0xA1, 0xAD))
             + list(range(0xAE, 0x100)))
    order += [b for b in range(256) if b not in order]
    return [bytes([b]) for b in order]


def split_pieces(text):
    """Cut a segment into token texts the way a BPE vocabulary roughly would:
    a new piece at every space, none longer than PIECE_BYTES. Each piece gets a
    token of its own, so repeated bytes never make the table ambiguous."""
    pieces = []
    cur = b""
    for i in range(len(text)):
        ch = text[i:i + 1]
        if cur and (ch == b" " or len(cur) == PIECE_BYTES):
            pieces.append(cur)
            cur = b""
        cur += ch
    if cur:
        pieces.append(cur)
    return pieces


def make_codes(d):
    """Zero-mean vectors of rms 1 whose positive cosines are small: centred
    one-hots (cosine 1/(d-1)) and Hadamard rows (cosine 1/sqrt(p) with a
    one-hot), each with its negation. A negative cosine is harmless: it only
    lowers a logit or keeps a hidden unit shut."""
    codes = []
    on, off = math.sqrt(d - 1), -1.0 / math.sqrt(d - 1)
    for i in range(d):
        v = [off] * d
        v[i] = on
        codes.append(v)
        codes.append([-x for x in v])
    p = 1
    while p * 2 <= d:
        p *= 2
    s = math.sqrt(d / p)
    for r in range(1, p):
        v = [(s if bin(r & c).count("1") % 2 == 0 else -s) for c in range(p)]
        v += [0.0] * (d - p)
        codes.append(v)
        codes.append([-x for x in v])
    return codes


def f16(values):
    return struct.pack("<%de" % len(values), *values)


def f32(values):
    return struct.pack("<%df" % len(values), *values)


def build_script(segments, no_space_token):
    """Return (vocabulary texts, decoded token chain).

    The chain is what a real model emits for timed segments:
    <|0.00|> pieces <|t1|> <|t2|> pieces <|t3|> ... <|end|>. The library
    closes a segment at each timestamp after text, folds the following one in
    as the next segment's start, and drops anything after the last timestamp,
    hence the closing one before end-of-text. Each timestamp is a distinct,
    increasing id, since timestamps may not go back and a token must map to
    one successor only."""
    vocab = gpt2_byte_order()
    if no_space_token:
        vocab[220] = "\u2420".encode()  # any text but " " itself
    chain = [BEG]
    texts = []
    if not segments:
        # An empty piece closed by a timestamp: no text, so no segment, and the
        # timestamp after a text token makes the library skip the whole window.
        texts.append(b"")
        chain += [len(vocab), BEG + 1]
        vocab.append(b"")
    else:
        ts = 1
        for n, seg in enumerate(segments):
            for piece in split_pieces(seg):
                if no_space_token and piece == b" ":
                    raise ValueError("a lone space piece needs the \" \" token")
                chain.append(len(vocab))
                vocab.append(piece)
                texts.append(piece)
            chain.append(BEG + ts)
            ts += 1
            if n + 1 < len(segments):
                chain.append(BEG + ts)
                ts += 1
    chain.append(EOT)
    if len(chain) > MAX_SCRIPT_TOKENS:
        raise ValueError("the script needs %d tokens; the library decodes at most "
                         "%d per window" % (len(chain), MAX_SCRIPT_TOKENS))
    # The library looks tokens up by text (" " for blank suppression, quotes and
    # brackets for non-speech suppression). The map keeps the last id with a
    # text, so a later copy of every script text takes those hits; the copies
    # have zero embeddings and never come out.
    for t in dict.fromkeys(texts):
        vocab.append(t)
    return vocab, chain


def _normalise_segments(segments):
    if segments is None:
        return list(DEFAULT_SEGMENTS)
    out = []
    for seg in segments:
        if isinstance(seg, str):
            seg = seg.encode("utf-8")
        seg = bytes(seg)
        if not seg:
            raise ValueError("an empty segment cannot come out: the library "
                             "drops segments without text")
        if b"\0" in seg:
            raise ValueError("a NUL byte cannot come back: the library ends token texts there")
        out.append(seg)
    return out


def model_chunks(segments=None, language="en", no_space_token=False,
                 n_state=64, n_head=1, n_audio_layer=1, n_text_layer=1):
    """The file as a list of byte strings, and the offset of each tensor's
    header (used to cut a file inside one)."""
    d = n_state
    if d < 8 or n_head < 1 or d % n_head:
        raise ValueError("n_state must be at least 8 and a multiple of n_head")
    if n_audio_layer < 1 or n_text_layer < 1:
        raise ValueError("at least one audio and one text layer")
    if n_text_layer == 2:
        # The loader takes 2 text layers for a distilled model and then drops
        # timestamps, which the script needs.
        raise ValueError("n_text_layer 2 is taken for a distilled model; use 1 or 3+")
    lang_key = language.lower()
    if lang_key not in LANG_IDS:
        raise ValueError("unknown language %r" % language)
    lang_token = SOT + 1 + LANG_IDS[lang_key]

    vocab, chain = build_script(_normalise_segments(segments), no_space_token)

    # Successor table: the language step of "auto" reads the logits after
    # <|startoftranscript|>, decoding reads them after <|transcribe|>.
    table = [(SOT, lang_token), (TRANSCRIBE, chain[0])]
    table += list(zip(chain, chain[1:]))
    active = list(dict.fromkeys([SOT, TRANSCRIBE, lang_token] + chain))
    codes = make_codes(d)
    hidden = 4 * d
    if len(active) > len(codes) or len(table) > hidden:
        raise ValueError("script too long for n_state %d: %d tokens, room for %d"
                         % (d, len(chain), min(len(codes) - 3, hidden - 1)))
    code = dict(zip(active, codes))

    chunks = [struct.pack("<I11i", MAGIC, N_VOCAB, N_AUDIO_CTX, d, n_head,
                          n_audio_layer, N_TEXT_CTX, d, n_head, n_text_layer,
                          N_MELS, FTYPE_F16)]
    # The encoder's weights are all zero, so the mel filters never matter.
    chunks.append(struct.pack("<ii", N_MELS, N_FFT) + bytes(4 * N_MELS * N_FFT))
    chunks.append(struct.pack("<i", len(vocab)))
    chunks.append(b"".join(struct.pack("<I", len(t)) + t for t in vocab))

    offsets = []
    pos = [sum(len(c) for c in chunks)]

    def tensor(name, ttype, dims, data=None):
        n = 1
        for x in dims:
            n *= x
        size = n * (2 if ttype == T_F16 else 4)
        if data is None:
            data = bytes(size)
        assert len(data) == size, name
        nm = name.encode()
        head = struct.pack("<iii%di" % len(dims), len(dims), len(nm), ttype, *dims) + nm
        offsets.append(pos[0])
        chunks.append(head)
        chunks.append(data)
        pos[0] += len(head) + len(data)

    ones = f32([1.0] * d)

    # Encoder: zeros throughout, and a zero final-norm gain besides, so its
    # output is zero for any audio and cross-attention adds nothing. The
    # matrices still have the full shape, so it costs what a real one does.
    tensor("encoder.positional_embedding", T_F32, [d, N_AUDIO_CTX])
    tensor("encoder.conv1.weight", T_F16, [3, N_MELS, d])
    tensor("encoder.conv1.bias", T_F32, [1, d])
    tensor("encoder.conv2.weight", T_F16, [3, d, d])
    tensor("encoder.conv2.bias", T_F32, [1, d])
    tensor("encoder.ln_post.weight", T_F32, [d])
    tensor("encoder.ln_post.bias", T_F32, [d])
    for i in range(n_audio_layer):
        p = "encoder.blocks.%d." % i
        tensor(p + "mlp_ln.weight", T_F32, [d], ones)
        tensor(p + "mlp_ln.bias", T_F32, [d])
        tensor(p + "mlp.0.weight", T_F16, [d, 4 * d])
        tensor(p + "mlp.0.bias", T_F32, [4 * d])
        tensor(p + "mlp.2.weight", T_F16, [4 * d, d])
        tensor(p + "mlp.2.bias", T_F32, [d])
        tensor(p + "attn_ln.weight", T_F32, [d], ones)
        tensor(p + "attn_ln.bias", T_F32, [d])
        tensor(p + "attn.query.weight", T_F16, [d, d])
        tensor(p + "attn.query.bias", T_F32, [d])
        tensor(p + "attn.key.weight", T_F16, [d, d])
        tensor(p + "attn.value.weight", T_F16, [d, d])
        tensor(p + "attn.value.bias", T_F32, [d])
        tensor(p + "attn.out.weight", T_F16, [d, d])
        tensor(p + "attn.out.bias", T_F32, [d])

    # Decoder: no positional embedding and zero attention outputs, so block 0's
    # MLP sees only the current token. Keying on the token rather than the
    # position keeps working in later windows, whose prompt is longer.
    tensor("decoder.positional_embedding", T_F32, [d, N_TEXT_CTX])
    emb = bytearray(2 * d * N_VOCAB)
    for tok, v in code.items():
        emb[2 * d * tok:2 * d * (tok + 1)] = f16(v)
    tensor("decoder.token_embedding.weight", T_F16, [d, N_VOCAB], bytes(emb))
    tensor("decoder.ln.weight", T_F32, [d], f32([TOP_LOGIT / d] * d))
    tensor("decoder.ln.bias", T_F32, [d])

    # Block 0's MLP as a lookup table, one hidden unit per (token -> next).
    # The input is normalised to rms 1, so weights code/d give the cosine.
    w1 = bytearray(2 * d * hidden)
    b1 = [0.0] * hidden
    w2 = [[0.0] * hidden for _ in range(d)]
    for k, (key, nxt) in enumerate(table):
        w1[2 * d * k:2 * d * (k + 1)] = f16([ALPHA * x / d for x in code[key]])
        b1[k] = -ALPHA * THETA
        for j, x in enumerate(code[nxt]):
            w2[j][k] = BETA * x
    mlp = (bytes(w1), f32(b1), b"".join(f16(row) for row in w2))

    for i in range(n_text_layer):
        p = "decoder.blocks.%d." % i
        tensor(p + "mlp_ln.weight", T_F32, [d], ones)
        tensor(p + "mlp_ln.bias", T_F32, [d])
        tensor(p + "mlp.0.weight", T_F16, [d, 4 * d], mlp[0] if i == 0 else None)
        tensor(p + "mlp.0.bias", T_F32, [4 * d], mlp[1] if i == 0 else None)
        tensor(p + "mlp.2.weight", T_F16, [4 * d, d], mlp[2] if i == 0 else None)
        tensor(p + "mlp.2.bias", T_F32, [d])
        for a in ("attn", "cross_attn"):
            tensor(p + a + "_ln.weight", T_F32, [d], ones)
            tensor(p + a + "_ln.bias", T_F32, [d])
            tensor(p + a + ".query.weight", T_F16, [d, d])
            tensor(p + a + ".query.bias", T_F32, [d])
            tensor(p + a + ".key.weight", T_F16, [d, d])
            tensor(p + a + ".value.weight", T_F16, [d, d])
            tensor(p + a + ".value.bias", T_F32, [d])
            tensor(p + a + ".out.weight", T_F16, [d, d])
            tensor(p + a + ".out.bias", T_F32, [d])
    return chunks, offsets


def write_model(path, segments=None, language="en", no_space_token=False,
                broken=None, n_state=64, n_head=1, n_audio_layer=1,
                n_text_layer=1):
    """Write a model file to path.

    segments: byte strings (str is taken as UTF-8) whose concatenation is the
      joined text of the segments the library returns, one segment each; None
      gives [b" Hello world."], [] a model that returns no segment at all.
    language: what language detection ("auto") picks, a code or a name.
    no_space_token: leave " " out of the vocabulary; the library then throws
      std::out_of_range from every whisper_full call.
    broken: "empty", "bad-magic" or "cut-tensors": a file the loader refuses.
    """
    if broken is not None and broken not in BROKEN_KINDS:
        raise ValueError("broken must be one of %s" % ", ".join(BROKEN_KINDS))
    if broken == "empty":
        data = [b""]
    else:
        data, offsets = model_chunks(segments, language, no_space_token,
                                     n_state, n_head, n_audio_layer, n_text_layer)
        if broken == "bad-magic":
            # The magic with its bytes swapped, as a wrong-endian writer leaves it.
            data[0] = struct.pack(">I", MAGIC) + data[0][4:]
        elif broken == "cut-tensors":
            # Mid-way through the second tensor's header: the loader sees the end
            # of file there, stops, and counts too few tensors. A cut anywhere
            # before the tensors passes for a deliberately empty test model.
            blob = b"".join(data)
            data = [blob[:offsets[1] + 6]]
    with open(path, "wb") as f:
        for c in data:
            f.write(c)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("out", help="path of the model file to write")
    ap.add_argument("--segment", action="append", metavar="HEX",
                    help="one segment's bytes, hex-encoded; repeat for more")
    ap.add_argument("--no-segments", action="store_true",
                    help="a model that returns no segment")
    ap.add_argument("--language", default="en",
                    help="what language detection picks (default en)")
    ap.add_argument("--no-space-token", action="store_true",
                    help="leave the \" \" token out of the vocabulary")
    ap.add_argument("--broken", choices=BROKEN_KINDS,
                    help="write a file the loader refuses")
    ap.add_argument("--n-state", type=int, default=64)
    ap.add_argument("--n-head", type=int, default=1)
    ap.add_argument("--n-audio-layer", type=int, default=1)
    ap.add_argument("--n-text-layer", type=int, default=1)
    a = ap.parse_args(argv)
    if a.no_segments and a.segment:
        ap.error("--no-segments and --segment exclude each other")
    segments = None
    if a.no_segments:
        segments = []
    elif a.segment:
        try:
            segments = [bytes.fromhex(h) for h in a.segment]
        except ValueError as e:
            ap.error("--segment: %s" % e)
    try:
        write_model(a.out, segments=segments, language=a.language,
                    no_space_token=a.no_space_token, broken=a.broken,
                    n_state=a.n_state, n_head=a.n_head,
                    n_audio_layer=a.n_audio_layer, n_text_layer=a.n_text_layer)
    except ValueError as e:
        ap.error(str(e))
    return 0


if __name__ == "__main__":
    sys.exit(main())
