// A protected folder over HTTPS in headless Chromium: the page loads with the test CA
// trusted (no certificate error, the connection counted secure) and the credentials given,
// and the listing names the folder's file.
// Arguments: DevTools port, the folder's https:// address, user:password, the expected name.
import { Browser, freshPageSocketUrl, pageSocketUrl } from "./devtools.mjs";

const [devtoolsPort, url, credentials, expected] = process.argv.slice(2);
let failed = 0;
const check = (ok, what, detail = "") => {
    console.log(`${ok ? "ok  " : "FAIL"} ${what}${ok || !detail ? "" : `: ${detail}`}`);
    if (!ok) failed++;
};

await pageSocketUrl(Number(devtoolsPort)); // waits for the browser to start
const page = new Browser(await freshPageSocketUrl(Number(devtoolsPort)));
await page.open();
await page.send("Page.enable");
await page.send("Network.enable");
const authorization = "Basic " + Buffer.from(credentials).toString("base64");
await page.send("Network.setExtraHTTPHeaders", { headers: { Authorization: authorization } });
const responses = [];
page.on("Network.responseReceived", (p) => responses.push(p.response));

const loaded = page.next("Page.loadEventFired");
const navigation = await page.send("Page.navigate", { url });
check(!navigation.errorText, "the page loads (no certificate or other network error)", navigation.errorText);
if (!navigation.errorText) {
    await loaded;
    const main = responses.find((r) => r.url === url);
    check(main && main.status === 200, "the folder answers 200 over HTTPS", main ? String(main.status) : "no answer");
    check(main && main.securityState === "secure", "the browser counts the connection secure",
        main ? main.securityState : "no answer");
    check(main && main.protocol === "http/1.1", "ALPN agreed on http/1.1", main ? main.protocol : "");
    const text = await page.eval("document.body ? document.body.innerText : ''");
    check(text.includes(expected), `the listing names ${expected}`, text.slice(0, 300));
}
process.exit(failed ? 1 : 0);
