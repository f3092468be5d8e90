// A page of headless Chromium driven over its DevTools protocol with nothing but Node's own
// WebSocket (Node 20: --experimental-websocket). Shared by the walks of the demo site.
import { writeFileSync } from "node:fs";

// The WebSocket address of the browser's first page; waits for the browser to start.
export async function pageSocketUrl(devtoolsPort) {
    for (let i = 0; i < 100; i++) {
        try {
            const targets = await (await fetch(`http://127.0.0.1:${devtoolsPort}/json/list`)).json();
            const page = targets.find((t) => t.type === "page");
            if (page) return page.webSocketDebuggerUrl;
        } catch {
            // the browser is still starting
        }
        await new Promise((r) => setTimeout(r, 100));
    }
    throw new Error("the browser offers no page");
}

// The WebSocket address of a new page in a browser context of its own (its own cookies,
// cache and remembered passwords: a visitor who was never there before).
export async function freshPageSocketUrl(devtoolsPort) {
    const version = await (await fetch(`http://127.0.0.1:${devtoolsPort}/json/version`)).json();
    const root = new Browser(version.webSocketDebuggerUrl);
    await root.open();
    const { browserContextId } = await root.send("Target.createBrowserContext");
    const { targetId } = await root.send("Target.createTarget", { url: "about:blank", browserContextId });
    // The context lives as long as this connection: it stays open until the process ends.
    return `ws://127.0.0.1:${devtoolsPort}/devtools/page/${targetId}`;
}

export class Browser {
    constructor(url, outDir) {
        this.outDir = outDir;
        this.socket = new WebSocket(url);
        this.nextId = 1;
        this.pending = new Map();
        this.waiters = [];
        this.handlers = new Map(); // method -> functions called on every such event
        this.socket.onmessage = (event) => {
            const message = JSON.parse(event.data);
            if (message.id && this.pending.has(message.id)) {
                const { resolve, reject } = this.pending.get(message.id);
                this.pending.delete(message.id);
                if (message.error) reject(new Error(message.error.message));
                else resolve(message.result);
            } else if (message.method) {
                for (const handler of this.handlers.get(message.method) || []) handler(message.params);
                this.waiters = this.waiters.filter((w) => !(w.method === message.method && (w.resolve(message.params), true)));
            }
        };
    }
    open() {
        return new Promise((resolve, reject) => {
            this.socket.onopen = resolve;
            this.socket.onerror = reject;
        });
    }
    // Calls `handler` with the parameters of every `method` event from now on.
    on(method, handler) {
        if (!this.handlers.has(method)) this.handlers.set(method, []);
        this.handlers.get(method).push(handler);
    }
    send(method, params = {}) {
        const id = this.nextId++;
        this.socket.send(JSON.stringify({ id, method, params }));
        return new Promise((resolve, reject) => this.pending.set(id, { resolve, reject }));
    }
    next(method, ms = 15000) {
        return new Promise((resolve, reject) => {
            const timer = setTimeout(() => reject(new Error(`no ${method} within ${ms} ms`)), ms);
            this.waiters.push({ method, resolve: (p) => { clearTimeout(timer); resolve(p); } });
        });
    }
    async eval(expression) {
        const result = await this.send("Runtime.evaluate", { expression, awaitPromise: true, returnByValue: true });
        if (result.exceptionDetails) throw new Error(result.exceptionDetails.text);
        return result.result.value;
    }
    async go(url) {
        const loaded = this.next("Page.loadEventFired");
        await this.send("Page.navigate", { url });
        await loaded;
    }
    // Runs `action` (which makes the page load another document) and waits for that load.
    async loadAfter(action) {
        const loaded = this.next("Page.loadEventFired");
        await this.eval(action);
        await loaded;
    }
    async picture(name) {
        const shot = await this.send("Page.captureScreenshot", { format: "png" });
        writeFileSync(`${this.outDir}/${name}`, Buffer.from(shot.data, "base64"));
    }
}
