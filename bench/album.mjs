// Loads one page in a fresh phone-sized headless Chromium context with the cache off and
// prints the time to its load event (every thumbnail in) in milliseconds.
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
const started = Date.now();
await page.go(url);
const images = await page.eval(`[...document.images].filter((i) => i.complete && i.naturalWidth > 0).length`);
console.log(`${Date.now() - started} ${images}`);
process.exit(0);
