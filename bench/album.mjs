// Loads one page in a fresh phone-sized headless Chromium context with the cache off and
// prints the time to its load event (every eagerly loaded thumbnail in) in milliseconds, the
// pictures shown by then, the time to DOMContentLoaded and the kilobytes fetched by the load
// event (what the network carried, headers included).
//
// node --experimental-websocket album.mjs DEVTOOLS_PORT URL
import { Browser, freshPageSocketUrl, pageSocketUrl } from "../tests/browser/devtools.mjs";

const [devtoolsPort, url] = process.argv.slice(2);
await pageSocketUrl(devtoolsPort);
const page = new Browser(await freshPageSocketUrl(devtoolsPort), "/tmp");
await page.open();
await page.send("Page.enable");
await page.send("Network.enable");
await page.send("Network.setCacheDisabled", { cacheDisabled: true });
await page.send("Emulation.setDeviceMetricsOverride", { width: 390, height: 844, deviceScaleFactor: 2, mobile: true });
await page.go("about:blank");
let bytes = 0;
let dcl = 0;
page.on("Network.loadingFinished", (p) => { bytes += p.encodedDataLength; });
const started = Date.now();
page.on("Page.domContentEventFired", () => { dcl = Date.now() - started; });
await page.go(url);
const loaded = Date.now() - started;
const fetched = Math.round(bytes / 1024);
const images = await page.eval(`[...document.images].filter((i) => i.complete && i.naturalWidth > 0).length`);
console.log(`${loaded} ${images} ${dcl} ${fetched}`);
process.exit(0);
