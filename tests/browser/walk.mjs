// Walks the demo site's blog, screenshot and remote-control pages in a real browser
// (headless Chromium, driven over its DevTools protocol with nothing but Node's own
// WebSocket), the way a visitor would: types a comment and sends the form, looks at the
// screen picture, presses buttons of the remote. Saves a picture of each page.
//
// node --experimental-websocket walk.mjs DEVTOOLS_PORT SERVER_PORT OUT_DIR
// Prints one line per check; exits 1 when a check fails.
import { Browser, pageSocketUrl } from "./devtools.mjs";

const [devtoolsPort, serverPort, outDir] = process.argv.slice(2);
const site = `http://127.0.0.1:${serverPort}`;
let failures = 0;

function check(ok, what, detail = "") {
    console.log(`${ok ? "ok  " : "FAIL"} ${what}${detail ? ": " + detail : ""}`);
    if (!ok) failures++;
}

const browser = new Browser(await pageSocketUrl(devtoolsPort), outDir);
await browser.open();
await browser.send("Page.enable");
await browser.send("Emulation.setDeviceMetricsOverride", { width: 1000, height: 800, deviceScaleFactor: 1, mobile: false });

// --- Blog: a comment sent with the form appears under the post, as text ---------------
// Each walk starts from a fresh demo site, so the same words every time are new there.
const comment = "Walked by a browser <b>in bold?</b> & friends";
await browser.go(`${site}/Blog/MyFirstBlog.txt`);
check(await browser.eval(`!!document.querySelector("form textarea[name=comment]")`), "the post has its comment form");
await browser.loadAfter(`
    document.querySelector("textarea[name=comment]").value = ${JSON.stringify(comment)};
    document.querySelector("form input[type=submit]").click(); true`);
const blogText = await browser.eval("document.body.innerText");
check(blogText.includes(comment), "the comment appears under the post", comment);
check(await browser.eval(`location.search === ""`), "the browser was sent back to the post without the query");
check(!(await browser.eval(`[...document.querySelectorAll(".blog-entry b")].some(b => b.textContent === "in bold?")`)),
    "markup in the comment is shown as text, not run as markup");
await browser.eval(`document.querySelector("textarea[name=comment]").scrollIntoView(); true`);
await browser.picture("blog.png");

// --- Screenshot: the page shows the server's screen, fitted into 100 x 100 -------------
await browser.go(`${site}/ScreenShot/index.html`);
const shot = await browser.eval(`new Promise((resolve) => {
    const img = document.getElementById("shot");
    const done = () => resolve([img.naturalWidth, img.naturalHeight]);
    if (img.complete) done(); else img.onload = img.onerror = done; })`);
check(shot[0] === 100 && shot[1] === 80, "the page shows the 1280 x 1024 screen fitted into 100 x 80", shot.join(" x "));
await browser.eval(`document.getElementById("size").value = "320"; refreshShot();
    new Promise((resolve) => { const img = document.getElementById("shot"); img.onload = img.onerror = () => resolve(true); })`);
check((await browser.eval(`document.getElementById("shot").naturalWidth`)) === 320, "a larger size is asked for and shown");
await browser.picture("screenshot.png");

// --- Remote control: the buttons reach the player --------------------------------------
await browser.go(`${site}/RemoteControl/index.html`);
for (const id of ["play", "volUp", "key5"]) {
    await browser.loadAfter(`document.getElementById(${JSON.stringify(id)}).click(); true`);
    check(await browser.eval(`location.pathname === "/RemoteControl/index.html" && location.search === ""`),
        `the ${id} button sends the browser back to the remote`);
}
await browser.picture("remote-control.png");

browser.socket.close();
process.exit(failures ? 1 : 0);
