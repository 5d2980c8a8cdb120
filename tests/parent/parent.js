#!/usr/bin/env node
// What a desktop shell does with the sidecar, in plain Node.js:
//
//   node parent.js SERVICE_BINARY MODEL_PATH [LANG]
//
// It spawns the service, takes its first stdout line as the start-up answer,
// probes /status, sends one second of audio to /transcribe, ends the child
// with SIGTERM and waits for it. It keeps reading the child's stdout until the
// child is gone, so a stray byte after the protocol line is counted.
//
// Prints one JSON report line on stdout. Exit status: 0 all went well;
// 2 the service answered "ERROR:..." (that line is also written to stderr,
// as a shell would log it); 3 no usable line (exit, garbage or timeout);
// 4 a request after start-up failed.

"use strict";

const { spawn } = require("child_process");
const http = require("http");

const EXIT_OK = 0;
const EXIT_START_ERROR = 2;
const EXIT_NO_LINE = 3;
const EXIT_REQUEST_FAILED = 4;

const START_TIMEOUT_MS = 30000;
const REQUEST_TIMEOUT_MS = 60000;
const STOP_TIMEOUT_MS = 10000;

const [service, modelPath, lang = "en"] = process.argv.slice(2);
if (!service || !modelPath) {
  process.stderr.write("usage: node parent.js SERVICE_BINARY MODEL_PATH [LANG]\n");
  process.exit(64);
}

const report = { line: null, childPid: null, stdoutBytes: 0, extraStdout: "" };

const child = spawn(service, [modelPath], { stdio: ["ignore", "pipe", "inherit"] });
report.childPid = child.pid;

// Resolves once the child has exited and its stdout has ended, with every
// byte of stdout counted.
const closed = new Promise((resolve) => {
  child.on("close", (code, signal) => resolve({ code, signal }));
});

// The first line may arrive in any number of chunks, and a chunk may carry
// bytes past it; both are kept apart here.
function firstLine() {
  return new Promise((resolve) => {
    const chunks = [];
    let seen = 0;
    let done = false;
    const finish = (result) => {
      if (done) return;
      done = true;
      clearTimeout(timer);
      resolve(result);
    };
    const timer = setTimeout(() => finish({ timeout: true }), START_TIMEOUT_MS);
    child.stdout.on("data", (chunk) => {
      report.stdoutBytes += chunk.length;
      if (done) {
        report.extraStdout += chunk.toString("latin1");
        return;
      }
      chunks.push(chunk);
      seen += chunk.length;
      const all = Buffer.concat(chunks, seen);
      const nl = all.indexOf(0x0a);
      if (nl < 0) return;
      report.extraStdout += all.subarray(nl + 1).toString("latin1");
      finish({ line: all.subarray(0, nl).toString("utf8") });
    });
    child.stdout.on("end", () => finish({ eof: Buffer.concat(chunks, seen).toString("utf8") }));
    child.on("error", (err) => finish({ spawnError: String(err) }));
  });
}

function request(port, method, path, body) {
  return new Promise((resolve, reject) => {
    const req = http.request(
      { host: "127.0.0.1", port, method, path, timeout: REQUEST_TIMEOUT_MS,
        headers: body ? { "Content-Type": "application/octet-stream", "Content-Length": body.length } : {} },
      (res) => {
        const parts = [];
        res.on("data", (d) => parts.push(d));
        res.on("end", () => {
          const text = Buffer.concat(parts).toString("utf8");
          try {
            resolve({ status: res.statusCode, json: JSON.parse(text) });
          } catch (e) {
            reject(new Error(`${method} ${path}: ${res.statusCode} not JSON: ${text}`));
          }
        });
      });
    req.on("timeout", () => req.destroy(new Error(`${method} ${path}: timed out`)));
    req.on("error", reject);
    req.end(body);
  });
}

// One second of a 440 Hz tone, written little-endian whatever this host is:
// that is the wire format, not the host's float layout.
function tone() {
  const n = 16000;
  const buf = Buffer.alloc(4 * n);
  for (let i = 0; i < n; i++) buf.writeFloatLE(0.5 * Math.sin(2 * Math.PI * 440 * i / 16000), 4 * i);
  return buf;
}

// Waits for the child to be gone, SIGKILL after a grace period; with
// terminate, it is first asked to end as a shell asks at quit.
async function stopChild(terminate) {
  const running = () => child.exitCode === null && child.signalCode === null;
  if (terminate && running()) child.kill("SIGTERM");
  const timer = setTimeout(() => {
    report.killed = true;
    child.kill("SIGKILL");
  }, STOP_TIMEOUT_MS);
  const exit = await closed;
  clearTimeout(timer);
  return exit;
}

function finish(status) {
  process.stdout.write(JSON.stringify(report) + "\n", () => process.exit(status));
}

async function main() {
  const first = await firstLine();
  if (first.line === undefined) {
    report.noLine = first;
    report.exit = await stopChild(true);
    return finish(EXIT_NO_LINE);
  }
  report.line = first.line;

  if (first.line.startsWith("ERROR:")) {
    process.stderr.write(first.line + "\n");
    // The service exits by itself after an ERROR line; we only wait.
    report.exit = await stopChild(false);
    return finish(EXIT_START_ERROR);
  }

  const m = /^PORT:([0-9]+)$/.exec(first.line);
  if (!m) {
    report.exit = await stopChild(true);
    return finish(EXIT_NO_LINE);
  }
  const port = Number(m[1]);
  report.port = port;

  let status = EXIT_OK;
  try {
    report.status = await request(port, "GET", "/status");
    report.transcribe = await request(port, "POST", "/transcribe?lang=" + encodeURIComponent(lang), tone());
    if (report.status.json.ready !== true || report.transcribe.json.success !== true) {
      status = EXIT_REQUEST_FAILED;
    } else {
      report.text = report.transcribe.json.text;
    }
  } catch (e) {
    report.requestError = String(e);
    status = EXIT_REQUEST_FAILED;
  }
  report.exit = await stopChild(true);
  finish(status);
}

main().catch((e) => {
  report.fatal = String(e && e.stack || e);
  if (child.exitCode === null && child.signalCode === null) child.kill("SIGKILL");
  finish(1);
});
