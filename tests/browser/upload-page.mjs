// The upload area of the built-in listing in headless Chromium, as a visitor uses it: files
// picked (DevTools' DOM.setFileInputFiles, which is what choosing them in the dialog does),
// a bar per file and one for all rising to 100 %, then the files in the listing, pictures
// with thumbnails. Then a larger file whose connection is cut half way (the browser taken
// offline): the page asks the server for the offset it holds and goes on from there. Last, a
// file whose page is left half way: picked again on the page loaded anew, it goes on from
// the server's offset instead of starting over.
//
// node --experimental-websocket upload-page.mjs DEVTOOLS_PORT SERVER_PORT FILES_DIR BIG_FILE LONG_FILE
import { Browser, freshPageSocketUrl, pageSocketUrl } from "./devtools.mjs";
import { readdirSync } from "node:fs";

const [devtoolsPort, serverPort, filesDir, bigFile, longFile] = process.argv.slice(2);
const base = `http://127.0.0.1:${serverPort}`;
let failed = 0;
const check = (ok, what, detail = "") => {
    console.log(`${ok ? "ok  " : "FAIL"} ${what}${ok || !detail ? "" : `: ${detail}`}`);
    if (!ok) failed++;
};
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
// Waits for `expression` to be true in the page; false when it never is within `seconds`.
async function until(page, expression, seconds = 60) {
    for (let i = 0; i < seconds * 10; i++) {
        if (await page.eval(expression)) return true;
        await sleep(100);
    }
    return false;
}

await pageSocketUrl(Number(devtoolsPort));
const page = new Browser(await freshPageSocketUrl(Number(devtoolsPort)));
await page.open();
await page.send("Page.enable");
await page.send("Runtime.enable");
await page.send("Network.enable");
const errors = [];
page.on("Runtime.exceptionThrown", (p) => errors.push(p.exceptionDetails.exception?.description || p.exceptionDetails.text));
const requests = [];
page.on("Network.requestWillBeSent", (p) => requests.push({ method: p.request.method, url: p.request.url, headers: p.request.headers }));

// A folder that takes no uploads shows no area.
await page.go(`${base}/Plain/`);
check(await page.eval(`!document.querySelector(".tvn-upload")`), "a folder without .upload has no upload area");

await page.go(`${base}/Inbox/`);
check(await page.eval(`(() => { const a = document.querySelector(".tvn-upload"); return !!a && !a.hidden && a.offsetHeight > 0; })()`),
    "the upload area shows in a folder that takes uploads");
// Every value the bars take, seen as it is set (a progress bar's value is its attribute).
await page.eval(`(() => {
    window.seen = [];
    new MutationObserver((changes) => changes.forEach((c) => {
        const bar = c.target;
        if (bar.tagName === "PROGRESS") window.seen.push({ all: !!bar.closest(".tvn-total"), value: bar.value, max: bar.max });
        if (c.type === "characterData" || c.type === "childList") {
            const row = (c.target.nodeType === 3 ? c.target.parentNode : c.target).closest("li");
            if (row) window.seen.push({ note: row.lastChild.textContent });
        }
    })).observe(document.querySelector(".tvn-upload"), { attributes: true, attributeFilter: ["value"], subtree: true, childList: true, characterData: true });
    return true;
})()`);

async function pick(paths) {
    const { root } = await page.send("DOM.getDocument");
    const { nodeId } = await page.send("DOM.querySelector", { nodeId: root.nodeId, selector: ".tvn-upload input[type=file]" });
    await page.send("DOM.setFileInputFiles", { nodeId, files: paths });
}
const names = readdirSync(filesDir).sort();
await pick(names.map((n) => `${filesDir}/${n}`));
const sentText = await page.eval(`document.querySelector(".tvn-upload").getAttribute("data-sent")`);
const allSent = `[...document.querySelectorAll(".tvn-upload li")].length === ${names.length} &&
    [...document.querySelectorAll(".tvn-upload li")].every((li) => li.lastChild.textContent === ${JSON.stringify(sentText)})`;
check(await until(page, allSent), `each of the ${names.length} files is marked sent`,
    await page.eval(`[...document.querySelectorAll(".tvn-upload li")].map((li) => li.textContent).join(" | ")`));
const bars = await page.eval(`(() => {
    const all = document.querySelector(".tvn-total progress");
    return { all: [all.value, all.max], text: all.nextSibling.textContent,
        files: [...document.querySelectorAll(".tvn-upload li progress")].map((b) => b.value === b.max) };
})()`);
check(bars.all[0] === bars.all[1] && bars.text === "100 %" && bars.files.every(Boolean),
    "the bar of all files and every file's bar stand at 100 %", JSON.stringify(bars));
const seen = await page.eval("window.seen");
const overall = seen.filter((s) => s.all).map((s) => s.value / s.max);
check(overall.some((v) => v > 0 && v < 1) && overall.every((v, i) => i === 0 || v >= overall[i - 1]),
    "the bar of all files rose through values between 0 and 100 %, never back", overall.slice(0, 12).join(" "));

// The listing, read again by the page itself, names the new files, the pictures with their
// thumbnails drawn.
const listed = `(() => {
    const text = [...document.querySelectorAll(".tvn-rows a, .tvn-caption")].map((e) => e.textContent);
    return ${JSON.stringify(names)}.every((n) => text.includes(n));
})()`;
check(await until(page, listed, 30), "the listing names every file sent, without a reload",
    await page.eval(`[...document.querySelectorAll(".tvn-rows a, .tvn-caption")].map((e) => e.textContent).join(" | ")`));
const pictures = names.filter((n) => n.endsWith(".jpg")).length;
const thumbs = await page.eval(`Promise.all([...document.querySelectorAll(".tvn-thumbs img")].map((img) => img.complete ||
        new Promise((r) => { img.onload = img.onerror = r; })))
    .then(() => [...document.querySelectorAll(".tvn-thumbs img")].filter((img) => img.naturalWidth > 0 && img.src.includes("/Thumbnail__")).length)`);
check(thumbs === pictures, `the ${pictures} pictures show as thumbnails that load`, `${thumbs} loaded`);
check(await page.eval(`document.querySelector(".tvn-upload li") !== null`), "the upload area stayed on the page (no reload)");

// A cut connection: the big file is sent slowly, the browser goes offline half way, then back.
const slow = { offline: false, latency: 0, downloadThroughput: -1, uploadThroughput: 4 << 20 };
await page.send("Network.emulateNetworkConditions", slow);
await page.eval("window.seen = []; true");
const before = requests.length;
await pick([bigFile]);
const bigName = bigFile.slice(bigFile.lastIndexOf("/") + 1);
const bigRow = `[...document.querySelectorAll(".tvn-upload li")].find((li) => li.firstChild.textContent === ${JSON.stringify(bigName)})`;
check(await until(page, `(() => { const r = ${bigRow}; return !!r && r.querySelector("progress").value > r.querySelector("progress").max * 0.3; })()`),
    "the big file is under way");
await page.send("Network.emulateNetworkConditions", { ...slow, offline: true });
const retrying = await page.eval(`document.querySelector(".tvn-upload").getAttribute("data-retrying")`);
check(await until(page, `${bigRow}.lastChild.textContent === ${JSON.stringify(retrying)}`, 30),
    "the cut transfer says it tries again");
await page.send("Network.emulateNetworkConditions", { ...slow, offline: false, uploadThroughput: -1 });
check(await until(page, `${bigRow}.lastChild.textContent === ${JSON.stringify(sentText)}`, 120), "the big file is sent in the end",
    await page.eval(`${bigRow}.textContent`));
const after = requests.slice(before).filter((r) => r.url.startsWith(base) && r.method !== "GET");
const header = (r, name) => Object.entries(r.headers).find(([k]) => k.toLowerCase() === name.toLowerCase())?.[1];
const posts = after.filter((r) => r.method === "POST");
const heads = after.filter((r) => r.method === "HEAD");
const lastHead = after.lastIndexOf(heads[heads.length - 1]);
const resumed = after.slice(lastHead + 1).find((r) => r.method === "PATCH");
check(posts.length === 1, "the big file was announced once", `${posts.length} POSTs`);
check(heads.length >= 1 && resumed && Number(header(resumed, "Upload-Offset")) > 0,
    "after the cut the page asked for the offset (HEAD) and went on from it (PATCH at an offset above 0)",
    after.map((r) => `${r.method} ${header(r, "Upload-Offset") ?? ""}`).join(", "));
check(await until(page, `[...document.querySelectorAll(".tvn-rows a")].some((a) => a.textContent === ${JSON.stringify(bigName)})`, 30),
    "the big file is in the listing");

// The page left half way, then the same file picked again on the page loaded anew.
const longName = longFile.slice(longFile.lastIndexOf("/") + 1);
const longRow = `[...document.querySelectorAll(".tvn-upload li")].find((li) => li.firstChild.textContent === ${JSON.stringify(longName)})`;
await page.send("Network.emulateNetworkConditions", slow);
await pick([longFile]);
check(await until(page, `(() => { const r = ${longRow}; return !!r && r.querySelector("progress").value > r.querySelector("progress").max * 0.3; })()`),
    "the long file is under way");
await page.go(`${base}/Inbox/`);
await page.send("Network.emulateNetworkConditions", { ...slow, uploadThroughput: -1 });
const reloaded = requests.length;
await pick([longFile]);
check(await until(page, `${longRow}.lastChild.textContent === ${JSON.stringify(sentText)}`, 120), "the long file is sent in the end",
    await page.eval(`${longRow}.textContent`));
const again = requests.slice(reloaded).filter((r) => r.url.startsWith(base) && r.method !== "GET");
check(again[0] && again[0].method === "HEAD" && !again.some((r) => r.method === "POST") &&
    again[1] && again[1].method === "PATCH" && Number(header(again[1], "Upload-Offset")) > 0,
    "picked again after the page was left, it went on from the server's offset (HEAD, then PATCH above 0, no new POST)",
    again.map((r) => `${r.method} ${header(r, "Upload-Offset") ?? ""}`).join(", "));
check(errors.length === 0, "the page threw no script error", errors.join(" | "));
process.exit(failed ? 1 : 0);
