// The official MCP clients against the built helper: each connects over stdio, lists the
// tools, opens a tab in the browser behind the socket and closes it, then prints one line:
//   <client> <mode>: <negotiated version> <era> tools=<count> open_tab=<text>
// or "<client> <mode>: failed <error>". Exit status 1 when any client failed.
//
// usage: node clients.mjs HELPER SOCKET
import { Client } from '@modelcontextprotocol/client';
import { StdioClientTransport } from '@modelcontextprotocol/client/stdio';
import { Client as SDKClient } from '@modelcontextprotocol/sdk/client/index.js';
import { StdioClientTransport as SDKStdioClientTransport } from '@modelcontextprotocol/sdk/client/stdio.js';

const [helper, socket] = process.argv.slice(2);
if (!helper || !socket) {
    console.error('usage: node clients.mjs HELPER SOCKET');
    process.exit(2);
}
const server = { command: helper, args: ['--socket', socket], stderr: 'ignore' };

function textOf(result) {
    const item = result.content?.[0];
    return item?.type === 'text' ? item.text : JSON.stringify(result.content);
}

async function session(label, client, transport) {
    // The 1.x SDK keeps the agreed version to itself but hands it to a transport that asks.
    let agreed = '?';
    transport.setProtocolVersion ??= (version) => { agreed = version; };
    try {
        await client.connect(transport, { timeout: 10000 });
        const version = client.getNegotiatedProtocolVersion?.() ?? agreed;
        const era = client.getProtocolEra?.() ?? 'legacy';
        const { tools } = await client.listTools(undefined, { timeout: 10000 });
        const result = await client.callTool({ name: 'open_tab', arguments: { url: 'example.com' } }, undefined,
                                             { timeout: 20000 });
        console.log(`${label}: ${version} ${era} tools=${tools.length} open_tab=${textOf(result)}`);
        return true;
    } catch (error) {
        console.log(`${label}: failed ${error?.code ?? ''} ${error?.message ?? error}`.replace(/\s+/g, ' ').trim());
        return false;
    } finally {
        await client.close().catch(() => {});
    }
}

const identity = { name: 'bosken-client-test', version: '1.0' };
let ok = true;
for (const [mode, label] of [['legacy', 'legacy'], ['auto', 'auto'], [{ pin: '2026-07-28' }, 'pin 2026-07-28']]) {
    const client = new Client(identity, { versionNegotiation: { mode } });
    ok = (await session(`client 2.4.0 ${label}`, client, new StdioClientTransport(server))) && ok;
}
ok = (await session('sdk 1.32', new SDKClient(identity), new SDKStdioClientTransport(server))) && ok;
process.exit(ok ? 0 : 1);
