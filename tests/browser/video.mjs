// A film on a page of the program, in a real browser: it loads, plays, and a jump to the third
// second lands there. The browser fetches a film in byte ranges; the walk checks that it asked
// with Range and had 206 back, and asks for a range of its own.
//
// node --experimental-websocket video.mjs DEVTOOLS_PORT SERVER_PORT CLIP_FILE
// Prints one line per check; exits 1 when a check fails.
import { readFileSync } from "node:fs";
import { Browser, pageSocketUrl } from "./devtools.mjs";

const [devtoolsPort, serverPort, clipFile] = process.argv.slice(2);
const site = `http://127.0.0.1:${serverPort}`;
const clip = readFileSync(clipFile);
let failures = 0;

function check(ok, what, detail = "") {
    console.log(`${ok ? "ok  " : "FAIL"} ${what}${detail ? ": " + detail : ""}`);
    if (!ok) failures++;
}

const browser = new Browser(await pageSocketUrl(devtoolsPort));
await browser.open();
await browser.send("Page.enable");
await browser.send("Network.enable");

// What the browser asked of the film and what it had back, by request id.
const asked = new Map();
const filmRequest = (id) => {
    if (!asked.has(id)) asked.set(id, { range: null, status: 0 });
    return asked.get(id);
};
const rangeOf = (headers) => Object.entries(headers || {}).find(([k]) => k.toLowerCase() === "range")?.[1] ?? null;
const filmIds = new Set();
browser.on("Network.requestWillBeSent", (p) => {
    if (!p.request.url.endsWith("/clip.webm")) return;
    filmIds.add(p.requestId);
    filmRequest(p.requestId).range ??= rangeOf(p.request.headers);
});
browser.on("Network.requestWillBeSentExtraInfo", (p) => {
    const range = rangeOf(p.headers);
    if (range) filmRequest(p.requestId).range = range;
});
browser.on("Network.responseReceived", (p) => {
    if (p.response.url.endsWith("/clip.webm")) filmRequest(p.requestId).status = p.response.status;
});

// Resolves with the value of `condition` (a page expression) once it is true, or false after
// `ms`.
const until = (condition, ms = 10000) => browser.eval(`new Promise((resolve) => {
    const start = performance.now();
    const look = () => {
        const value = (${condition});
        if (value || performance.now() - start > ${ms}) resolve(value);
        else setTimeout(look, 50);
    };
    look(); })`);

await browser.go(`${site}/video.html`);
const film = `document.getElementById("film")`;
check(await until(`${film}.readyState >= 2`), "the film has its first frame (readyState 2 or more)",
    `readyState ${await browser.eval(`${film}.readyState`)}, error ${await browser.eval(`${film}.error && ${film}.error.message`)}`);
check(Math.abs((await browser.eval(`${film}.duration`)) - 4) < 0.2, "the film lasts four seconds",
    String(await browser.eval(`${film}.duration`)));

const played = await browser.eval(`${film}.play().then(() => "playing", (e) => e.name + ": " + e.message)`);
check(played === "playing", "play() starts the film", played);
check(await until(`${film}.currentTime > 0.5`), "the time runs on while it plays",
    `currentTime ${await browser.eval(`${film}.currentTime`)}`);
check((await browser.eval(`${film}.getVideoPlaybackQuality().totalVideoFrames`)) > 0, "frames were decoded");

// The jump: pause first so that the time read after 'seeked' is the time the jump reached.
const seeked = await browser.eval(`new Promise((resolve) => {
    const v = ${film};
    v.pause();
    const timer = setTimeout(() => resolve(-1), 10000);
    v.addEventListener("seeked", () => { clearTimeout(timer); resolve(v.currentTime); }, { once: true });
    v.currentTime = 3; })`);
check(seeked >= 0, "setting currentTime to 3 s fires 'seeked'");
check(Math.abs(seeked - 3) < 0.25, "the jump lands near 3 s", String(seeked));
const resumed = await browser.eval(`${film}.play().then(() => "playing", (e) => e.name)`);
check(resumed === "playing" && (await until(`${film}.currentTime > 3.3`)), "it plays on from there",
    `currentTime ${await browser.eval(`${film}.currentTime`)}`);
check((await browser.eval(`${film}.error`)) === null, "the film has no error");

const ranged = [...filmIds].map((id) => asked.get(id)).filter((r) => r.range && r.status === 206);
check(ranged.length > 0, "the browser asked for the film with Range and had 206 back",
    JSON.stringify([...filmIds].map((id) => asked.get(id))));

// A range of our own: the 206 answer holds exactly those bytes of the film.
const answer = await fetch(`${site}/clip.webm`, { headers: { Range: "bytes=100-1099" } });
const body = Buffer.from(await answer.arrayBuffer());
check(answer.status === 206, "Range: bytes=100-1099 is answered 206", String(answer.status));
check(answer.headers.get("content-range") === `bytes 100-1099/${clip.length}`, "its Content-Range names the part and the length",
    answer.headers.get("content-range"));
check(body.equals(clip.subarray(100, 1100)), "the part holds those bytes of the film", `${body.length} bytes`);

browser.socket.close();
process.exit(failures ? 1 : 0);
