// The agent's view with the official MCP TypeScript SDK: bosken-mcp against a stand-in browser
// that answers late. Prints what the client saw and which calls reached the browser.
//
//   node scenario.mjs HELPER STANDIN [CLIENT_TIMEOUT_MS=2000] [LATE_MS=3000] [PROGRESS_TIMEOUT_MS=12000] [PROGRESS_LATE_MS=15000]
//
// 1. Two open_tab calls sent together time out in the client, which cancels both. A ping sent
//    meanwhile is timed.
// 2. A call with resetTimeoutOnProgress whose result comes after the client's time-out.
// Exit status 0 when the helper behaved: the queued, cancelled call never reached the browser,
// the ping was answered at once, and the progress call succeeded.

import { spawn } from "node:child_process";
import { mkdtempSync, readFileSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { Client } from "@modelcontextprotocol/sdk/client/index.js";
import { StdioClientTransport } from "@modelcontextprotocol/sdk/client/stdio.js";

const [helper, standin] = process.argv.slice(2, 4);
const [clientTimeout, late, progressTimeout, progressLate] = [
  [4, 2000], [5, 3000], [6, 12000], [7, 15000],
].map(([i, d]) => Number(process.argv[i] ?? d));
const dir = mkdtempSync(join(tmpdir(), "bosken-sdk-"));

async function browser(name, lateMs) {
  const socket = join(dir, `${name}.sock`), log = join(dir, `${name}.log`);
  const child = spawn(standin, ["--socket", socket, "--log", log, "--late", String(lateMs)]);
  await new Promise((ready) => child.stdout.once("data", ready));
  return { socket, calls: () => readFileSync(log, "utf8").split("\n").filter((l) => l.includes('"call"')), child };
}

async function session(socket) {
  const client = new Client({ name: "sdk-scenario", version: "1.0" });
  await client.connect(new StdioClientTransport({ command: helper, args: ["--socket", socket] }));
  return client;
}

const outcome = (promise) =>
  promise.then((r) => `ok ${JSON.stringify(r.content)}`, (e) => `failed ${e.code ?? ""} ${e.message}`);

let good = true;
{
  const b = await browser("cancel", late);
  const client = await session(b.socket);
  const first = outcome(client.callTool({ name: "open_tab", arguments: { url: "https://first.example" } }, undefined, { timeout: clientTimeout }));
  const second = outcome(client.callTool({ name: "open_tab", arguments: { url: "https://second.example" } }, undefined, { timeout: clientTimeout }));
  await new Promise((r) => setTimeout(r, 500));
  const start = Date.now();
  await client.ping();
  const pingMs = Date.now() - start;
  console.log(`first call: ${await first}\nsecond call: ${await second}\nping during the call: ${pingMs} ms`);
  await new Promise((r) => setTimeout(r, late + 500));  // the first call's late result has come
  const calls = b.calls();
  console.log(`calls the browser saw: ${calls.length}\n  ${calls.join("\n  ")}`);
  good &&= pingMs < 1000 && !calls.some((c) => c.includes("second.example"));
  await client.close();
  b.child.kill();
}
{
  const b = await browser("progress", progressLate);
  const client = await session(b.socket);
  let notices = 0;
  const start = Date.now();
  const result = await outcome(client.callTool({ name: "open_tab", arguments: { url: "https://slow.example" } }, undefined,
    { timeout: progressTimeout, resetTimeoutOnProgress: true, onprogress: () => ++notices }));
  console.log(`call with resetTimeoutOnProgress: ${result} after ${Date.now() - start} ms, ${notices} progress notifications`);
  good &&= result.startsWith("ok");
  await client.close();
  b.child.kill();
}
console.log(good ? "PASS" : "FAIL");
process.exit(good ? 0 : 1);
