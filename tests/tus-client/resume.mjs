// tus-js-client, from the npm registry, sends a file to the program through a small TCP
// relay of this script's own that cuts the connection once, part-way through the file. The
// client must ask for the offset (HEAD), go on from there (PATCH) and end with the whole
// file, whose SHA-256 the stored one must have.
//
// node resume.mjs PORT FILE STORED: PORT is the program's, FILE the one to send, STORED the
// path where the program must keep it.
import { createHash } from 'node:crypto';
import { readFileSync, existsSync } from 'node:fs';
import net from 'node:net';
import { basename } from 'node:path';
import * as tus from 'tus-js-client';

const [port, file, stored] = process.argv.slice(2);
const cutAfter = 3 * 1024 * 1024 + 4321; // bytes from the client, over all connections

let fromClient = 0;
let cuts = 0;
const methods = [];
const relay = net.createServer((client) => {
    const server = net.connect(Number(port), '127.0.0.1');
    server.on('error', () => client.destroy());
    client.on('error', () => server.destroy());
    server.pipe(client);
    client.on('data', (bytes) => {
        const line = bytes.toString('latin1', 0, 16);
        const method = /^(POST|HEAD|PATCH|OPTIONS|DELETE) /.exec(line);
        if (method) methods.push(method[1]);
        fromClient += bytes.length;
        server.write(bytes);
        if (cuts === 0 && fromClient >= cutAfter) {
            cuts++;
            client.destroy();
            server.destroy();
        }
    });
    client.on('end', () => server.end());
});
await new Promise((resolve) => relay.listen(0, '127.0.0.1', resolve));

const bytes = readFileSync(file);
const sha = (data) => createHash('sha256').update(data).digest('hex');
let failed = 0;
const check = (ok, what) => {
    console.log(`${ok ? 'ok  ' : 'FAIL'} ${what}`);
    if (!ok) failed++;
};

const outcome = await new Promise((resolve) => {
    const upload = new tus.Upload(bytes, {
        endpoint: `http://127.0.0.1:${relay.address().port}/Drop/`,
        metadata: { filename: basename(stored), filetype: 'application/octet-stream' },
        retryDelays: [0, 100, 500],
        onError: (error) => resolve(`error: ${error.message}`),
        onSuccess: () => resolve('done'),
    });
    upload.start();
});
relay.close();

check(outcome === 'done', `the upload ended (${outcome})`);
check(cuts === 1, 'the relay cut the connection part-way');
const afterCut = methods.slice(methods.indexOf('PATCH') + 1);
// A server that lost what came would answer the HEAD with 404, and the client would begin
// anew with a POST.
check(afterCut[0] === 'HEAD' && afterCut.includes('PATCH') && !afterCut.includes('POST'),
    `the client asked for the offset and went on from it (${methods.join(' ')})`);
check(existsSync(stored) && sha(readFileSync(stored)) === sha(bytes),
    'the stored file has the SHA-256 of the one sent');
process.exit(failed ? 1 : 0);
