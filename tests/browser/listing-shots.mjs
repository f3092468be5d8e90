// Pictures of the listing of /Family/ (made by listing-shots.sh) at phone and desktop size.
// Checks first that the page shows what the pictures are meant to show, and afterwards that
// its sort buttons and filter box work.
//
// node --experimental-websocket listing-shots.mjs DEVTOOLS_PORT SERVER_PORT OUT_DIR
import { Browser, pageSocketUrl } from "./devtools.mjs";

const [devtoolsPort, serverPort, outDir] = process.argv.slice(2);
const url = `http://127.0.0.1:${serverPort}/Family/`;
const windows = [
    { name: "phone", width: 390, height: 844, deviceScaleFactor: 2, mobile: true },
    { name: "desktop", width: 1280, height: 900, deviceScaleFactor: 1, mobile: false },
];

const browser = new Browser(await pageSocketUrl(devtoolsPort), outDir);
await browser.open();
await browser.send("Page.enable");
let failed = false;
for (const { name, ...metrics } of windows) {
    await browser.send("Emulation.setDeviceMetricsOverride", metrics);
    await browser.go(url);
    // Every thumbnail drawn, and one row or caption of each kind.
    const page = await browser.eval(`Promise.all([...document.images].map((img) => img.complete ||
            new Promise((r) => { img.onload = img.onerror = r; })))
        .then(() => ({
            kinds: [...new Set([...document.querySelectorAll(".tvn-rows > *")].map((e) => e.className.replace("tvn-", "")))].sort(),
            thumbnails: [...document.querySelectorAll(".tvn-thumbs img")].filter((img) => img.naturalWidth > 0).length,
            tools: !document.querySelector(".tvn-tools").hidden }))`);
    const ok = page.kinds.join() === "archive,audio,document,folder,picture,text,video" && page.thumbnails === 4 && page.tools;
    console.log(`${ok ? "ok  " : "FAIL"} ${name}: ${JSON.stringify(page)}`);
    failed ||= !ok;
    await browser.picture(`listing-${name}.png`);
    // The sort buttons and the filter box, after the picture.
    const sorted = await browser.eval(`(() => {
        const names = () => [...document.querySelectorAll(".tvn-rows > *")].filter((e) => !e.hidden)
            .map((e) => (e.querySelector(".tvn-caption") || e.querySelector("a")).textContent);
        document.querySelector("button[data-key=size]").click();
        const bySize = names();
        const filter = document.getElementById("tvn-filter");
        filter.value = "MP";
        filter.dispatchEvent(new Event("input"));
        const filtered = names();
        filter.value = "";
        filter.dispatchEvent(new Event("input"));
        return { bySize: bySize.slice(0, 5), filtered };
    })()`);
    const sortOk = sorted.bySize.join() === ".,..,Holiday 2024,Recipes,Photos backup.zip" &&
        sorted.filtered.join() === ".,..,Garden party.mp4,Morning walk.mp3";
    console.log(`${sortOk ? "ok  " : "FAIL"} ${name}: largest first, then the filter: ${JSON.stringify(sorted)}`);
    failed ||= !sortOk;
}
process.exit(failed ? 1 : 0);
