// Walks the whole demo site as a visitor, once in a phone-sized window and once in a
// desktop-sized one: the root listing, the photo album's thumbnails, a page in its frame,
// the protected folder with and without its password, a blog comment, and a map page that
// first asks for its key. Saves a picture of every step; no page of ours may log an error.
//
// node --experimental-websocket site.mjs DEVTOOLS_PORT SERVER_PORT OUT_DIR
// Prints one line per check; exits 1 when a check fails.
import { Browser, freshPageSocketUrl, pageSocketUrl } from "./devtools.mjs";

const [devtoolsPort, serverPort, outDir] = process.argv.slice(2);
const site = `http://127.0.0.1:${serverPort}`;
// The pair the demo's protected folder takes (resources/BINDAT/Security/Protected/.pass).
const user = "guest";
const password = "tarvolin";
const mapKey = "walk-key_2026";
const windows = [
    { name: "phone", width: 390, height: 844, deviceScaleFactor: 2, mobile: true },
    { name: "desktop", width: 1280, height: 900, deviceScaleFactor: 1, mobile: false },
];
let failures = 0;

function check(ok, what, detail = "") {
    console.log(`${ok ? "ok  " : "FAIL"} ${what}${detail ? ": " + detail : ""}`);
    if (!ok) failures++;
}

await pageSocketUrl(devtoolsPort); // the browser has started
let browser;

// Errors the pages log: uncaught exceptions, console.error, and failed loads of our own
// addresses. Other sites (the map services) cannot be reached from the test's network.
let errors = [];
const ours = (url) => typeof url === "string" && url.startsWith(site) && !url.endsWith("/favicon.ico");
// The HTTP status of the document shown.
const navigationStatus = `performance.getEntriesByType("navigation")[0].responseStatus`;

// A page in a browser context of its own, so that each window is a visitor who never came
// before (no remembered password, nothing cached), listening for errors.
async function openFreshPage() {
    browser = new Browser(await freshPageSocketUrl(devtoolsPort), outDir);
    await browser.open();
    for (const domain of ["Page", "Runtime", "Log"]) await browser.send(`${domain}.enable`);
    browser.on("Runtime.exceptionThrown", (p) => errors.push(`exception: ${p.exceptionDetails.exception?.description || p.exceptionDetails.text}`));
    browser.on("Runtime.consoleAPICalled", (p) => {
        if (p.type === "error") errors.push(`console.error: ${p.args.map((a) => a.value ?? a.description).join(" ")}`);
    });
    browser.on("Log.entryAdded", ({ entry }) => {
        if (entry.level === "error" && (entry.source !== "network" || ours(entry.url))) errors.push(`${entry.source}: ${entry.text} ${entry.url || ""}`);
    });
}

// Checks that the step logged no error of ours, then takes its picture.
async function endStep(win, step, expectedErrors = []) {
    const unexpected = errors.filter((e) => !expectedErrors.some((x) => e.includes(x)));
    check(unexpected.length === 0, `${win.name}: ${step} logs no error`, unexpected.join(" | "));
    errors = [];
    await browser.picture(`${win.name}-${step}.png`);
}

// Once every picture of the page has loaded, each one's width as the page lays it out and as
// the file the browser chose has it. Pictures that load lazily are scrolled into view one
// after the other. A picture chosen from srcset reports its width divided by its density
// (a 200 pixel file for 2x says 100), so the chosen file is measured on its own.
const picturesRendered = (selector) => `(async () => {
    const pictures = [...document.querySelectorAll(${JSON.stringify(selector)})];
    for (const img of pictures) {
        const loaded = new Promise((r) => { img.onload = img.onerror = () => r(true); });
        if (img.complete) continue;
        img.scrollIntoView();
        await loaded;
    }
    window.scrollTo(0, 0);
    const widths = [];
    for (const img of pictures) {
        const file = new Image();
        file.src = img.currentSrc;
        await file.decode().catch(() => {});
        widths.push({ shown: img.width, file: file.naturalWidth });
    }
    return widths;
})()`;

async function rootListing(win) {
    await browser.go(`${site}/`);
    const folders = await browser.eval(`[...document.querySelectorAll(".tvn-table tr.tvn-folder a")].map((a) => a.textContent.trim())`);
    for (const name of ["Blog", "demo", "FindMe", "Security", "ZadiZo"])
        check(folders.includes(name), `${win.name}: the root listing shows the folder ${name}`, folders.join(", "));
    const links = await browser.eval(`[...document.querySelectorAll(".tvn-table tr.tvn-folder a")].map((a) => a.getAttribute("href"))`);
    check(links.length > 0 && links.every((l) => l.endsWith("/")), `${win.name}: folder links end in /`, links.join(" "));
    await endStep(win, "1-root");
}

async function photoAlbum(win, cold) {
    await browser.go(`${site}/demo/PhotoAlbum/`);
    const widths = await browser.eval(picturesRendered("img[src*='Thumbnail__']"));
    check(widths.length === 13, `${win.name}: the album lists its 13 photos as thumbnails (${cold ? "cold" : "warm"})`, `${widths.length}`);
    const shown = widths.map((w) => `${w.shown}/${w.file}`).join(" ");
    check(widths.length > 0 && widths.every((w) => w.shown > 0 && w.shown <= 100), `${win.name}: every thumbnail renders, at most 100 wide`, shown);
    // A 2x screen gets the sharp thumbnail (200 by 200 box), a 1x screen the ordinary one.
    const sharp = win.deviceScaleFactor >= 2;
    check(widths.every((w) => sharp ? w.file > 100 && w.file <= 200 : w.file <= 100), `${win.name}: the thumbnails' files suit the screen's ${win.deviceScaleFactor}x pixels`, shown);
    const captions = await browser.eval(`[...document.querySelectorAll(".tvn-thumbs figcaption")].map((c) => c.textContent)`);
    check(captions.length === 13 && captions.every((c) => /\.jpg \d+(\.\d)? KB$/.test(c)), `${win.name}: every thumbnail has its name and size under it`, captions.slice(0, 3).join(" | "));
    await endStep(win, `2-album-${cold ? "cold" : "warm"}`);
}

async function framedPage(win) {
    await browser.go(`${site}/demo/AboutMe.txt`);
    const frame = await browser.eval(`({
        top: !!document.querySelector("header.tvn-top a.tvn-brand"),
        content: document.querySelector("main.tvn-content")?.innerText.length || 0,
        menu: [...document.querySelectorAll(".tvn-menu a")].map((a) => a.textContent.trim()) })`);
    check(frame.top && frame.content > 100, `${win.name}: the text page stands in the .file frame`, JSON.stringify(frame));
    check(frame.menu.includes("PhotoAlbum") && frame.menu.includes("Hobbies"), `${win.name}: the frame lists the folder's other entries`, frame.menu.join(", "));
    await endStep(win, "3-framed-page");
}

async function protectedFolder(win) {
    const url = `${site}/Security/Protected/`;
    await browser.go(url);
    const refused = await browser.eval(navigationStatus);
    check(refused === 401, `${win.name}: the protected folder asks for credentials`, `status ${refused}`);
    await endStep(win, "4-protected-refused", ["401"]);

    // The browser is asked for a pair: a wrong one first, then the demo's.
    const asked = [];
    await browser.send("Fetch.enable", { handleAuthRequests: true, patterns: [{ urlPattern: "*" }] });
    const pausedHandler = ({ requestId }) => browser.send("Fetch.continueRequest", { requestId }).catch(() => {});
    const authHandler = ({ requestId }) => {
        asked.push(requestId);
        const pair = asked.length === 1 ? { username: user, password: "wrong" } : { username: user, password };
        browser.send("Fetch.continueWithAuth", { requestId, authChallengeResponse: { response: "ProvideCredentials", ...pair } }).catch(() => {});
    };
    browser.on("Fetch.requestPaused", pausedHandler);
    browser.on("Fetch.authRequired", authHandler);
    await browser.go(url);
    await browser.send("Fetch.disable");
    browser.handlers.get("Fetch.requestPaused").splice(0);
    browser.handlers.get("Fetch.authRequired").splice(0);
    check(asked.length === 2, `${win.name}: the wrong password is refused and the right one asked for again`, `${asked.length} questions`);
    const opened = await browser.eval(navigationStatus);
    check(opened === 200, `${win.name}: the demo's pair opens the protected folder`, `status ${opened}`);
    const text = await browser.eval("document.body.innerText");
    check(!/401|Unauthori[sz]ed/i.test(text) && text.length > 20, `${win.name}: the protected page shows its content`, text.slice(0, 80));
    await endStep(win, "5-protected-open", ["401"]);
}

async function blogComment(win) {
    const comment = `A ${win.name} visitor walked by <i>here</i>`;
    await browser.go(`${site}/Blog/AboutSomething.txt`);
    await browser.loadAfter(`
        document.querySelector("textarea[name=comment]").value = ${JSON.stringify(comment)};
        document.querySelector("form input[type=submit]").click(); true`);
    const text = await browser.eval("document.body.innerText");
    check(text.includes(comment), `${win.name}: the comment appears under the post`, comment);
    await browser.eval(`document.querySelector("textarea[name=comment]").scrollIntoView(); true`);
    await endStep(win, "6-blog-comment");
}

async function mapPage(win, keyStored) {
    const url = `${site}/FindMe/GoogleMap.html`;
    await browser.go(url);
    if (!keyStored) {
        check(await browser.eval(`!!document.querySelector("form input[name=maps_api_key]")`), `${win.name}: the map page without a key shows the key form`);
        await endStep(win, "7-map-key-form");
        await browser.loadAfter(`
            document.querySelector("input[name=maps_api_key]").value = ${JSON.stringify(mapKey)};
            document.querySelector("form input[type=submit]").click(); true`);
    }
    const page = await browser.eval(`({ h1: document.querySelector("h1")?.textContent || "",
        form: !!document.querySelector("input[name=maps_api_key]"),
        key: [...document.scripts].some((s) => s.text.includes(${JSON.stringify(`"${mapKey}"`)})) })`);
    check(page.h1.startsWith("Find me") && !page.form, `${win.name}: the map page shows ${keyStored ? "with the stored key" : "after the key was sent"}`, page.h1);
    check(page.key, `${win.name}: the key is written into the page`);
    await endStep(win, "8-map-page");
}

for (const [index, win] of windows.entries()) {
    const { name, ...metrics } = win;
    await openFreshPage();
    await browser.send("Emulation.setDeviceMetricsOverride", metrics);
    await browser.send("Emulation.setTouchEmulationEnabled", { enabled: win.mobile });
    // The error watch hears our pages: a missing page is an error it must see.
    errors = [];
    await browser.go(`${site}/no-such-page.html`);
    check(errors.some((e) => e.includes("404")), `${win.name}: the error watch hears a failed load of ours`, errors.join(" | "));
    errors = [];
    await rootListing(win);
    await photoAlbum(win, index === 0);
    await framedPage(win);
    await protectedFolder(win);
    await blogComment(win);
    await mapPage(win, index > 0);
}

console.log(`pictures of every step: ${outDir}`);
process.exit(failures ? 1 : 0);
