#!/usr/bin/env node
// OPC UA server for the tests of the gateway's OPC UA client.
//
//   node server.js PORT [--run-seconds N] [--big-folder N] [--bench N] [--bench-interval MS]
//                       [--max-continuation-points N] [--ignore-stdin] [--quiet]
//                       [--security PKI_DIR] [--policies NAME,...] [--user NAME:PASSWORD]
//
// Listens on 127.0.0.1 only, SecurityPolicy None, anonymous, registers with no
// discovery server. PORT 0 takes a free loopback port. Prints one line
//   READY port=NNNN url=opc.tcp://127.0.0.1:NNNN
// once it accepts connections. It stops by itself after --run-seconds (600),
// on SIGTERM/SIGINT, and when its standard input closes (so a test that dies
// does not leave it behind), unless --ignore-stdin is given.
//
// Address space, namespace "urn:opcua-peer:server" (index 1), all variables
// CurrentRead|CurrentWrite, minimum sampling interval 100 ms:
//   Channel1/Device1: Speed Int16 (+1 every 500 ms, wraps at 32000), Temp Float
//     (20 +- 5 sine, 10 s), Run Boolean (toggles every 1 s), Level Double
//     (AnalogItem, EURange 0..100, 50 +- 45 sine, 20 s), Count UInt16 (+1 every 1 s),
//     Name String ("Device1 #n" every 3 s), Big Int32 (100000 + 1000 per second)
//   Flat: Byte, SByte, UInt32 (counters every 1 s), Ramp Double (0..100 every 200 ms),
//     Time DateTime (now every 1 s)
//   Static: Int16, Byte, UInt32, Double, DateTime, String, Boolean, Float; they never
//     change by themselves, so a write can be read back
//   BigFolder: --big-folder variables V0..V<N-1> (Int32 = k; default 5000)
//   Bench: --bench Double variables V0..V<N-1>, all changed every --bench-interval ms
// --security adds Basic256Sha256 endpoints (Sign, SignAndEncrypt) next to None,
// or those of the policies --policies names (Basic256Sha256,
// Aes128_Sha256_RsaOaep, Aes256_Sha256_RsaPss, comma-separated), with the
// server's certificates kept in PKI_DIR (made there on first start)
// and every client certificate accepted; --user adds a user name token
// (NAME:PASSWORD, default operator:peer-secret under --security).
// NodeIds are ns=1;s=<path with dots>, e.g. ns=1;s=Channel1.Device1.Speed.
"use strict";

const net = require("net");
const {
    OPCUAServer, Variant, DataType, SecurityPolicy, MessageSecurityMode, StatusCodes, OPCUACertificateManager
} = require("node-opcua");

function parseArgs(argv) {
    const o = {
        port: 0, runSeconds: 600, bigFolder: 5000, bench: 0, benchInterval: 100,
        maxContinuationPoints: 10, ignoreStdin: false, quiet: false, security: "", user: "",
        policies: ["Basic256Sha256"]
    };
    const number = (name, value, min, max) => {
        const n = Number(value);
        if (!Number.isInteger(n) || n < min || n > max) {
            throw new Error(`${name} takes a whole number from ${min} to ${max}, not "${value}"`);
        }
        return n;
    };
    let positional = 0;
    for (let i = 0; i < argv.length; ++i) {
        const a = argv[i];
        const next = () => {
            if (i + 1 >= argv.length) throw new Error(`${a} needs a value`);
            return argv[++i];
        };
        switch (a) {
            case "--run-seconds": o.runSeconds = number(a, next(), 1, 86400); break;
            case "--big-folder": o.bigFolder = number(a, next(), 0, 100000); break;
            case "--bench": o.bench = number(a, next(), 0, 100000); break;
            case "--bench-interval": o.benchInterval = number(a, next(), 10, 60000); break;
            case "--max-continuation-points": o.maxContinuationPoints = number(a, next(), 1, 1000); break;
            case "--ignore-stdin": o.ignoreStdin = true; break;
            case "--quiet": o.quiet = true; break;
            case "--security": o.security = next(); break;
            case "--policies":
                o.policies = next().split(",");
                for (const p of o.policies) {
                    if (!["Basic256Sha256", "Aes128_Sha256_RsaOaep", "Aes256_Sha256_RsaPss"].includes(p)) {
                        throw new Error(`--policies: unknown policy "${p}"`);
                    }
                }
                break;
            case "--user":
                o.user = next();
                if (!o.user.includes(":")) throw new Error("--user takes NAME:PASSWORD");
                break;
            default:
                if (a.startsWith("-") || positional > 0) throw new Error(`unknown argument "${a}"`);
                o.port = number("PORT", a, 0, 65535);
                ++positional;
        }
    }
    return o;
}

// The endpoint URLs are fixed when the server is built, before it listens, so
// a free port is chosen first rather than leaving it to listen(0).
function freeLoopbackPort() {
    return new Promise((resolve, reject) => {
        const s = net.createServer();
        s.once("error", reject);
        s.listen({ host: "127.0.0.1", port: 0 }, () => {
            const { port } = s.address();
            s.close(() => resolve(port));
        });
    });
}

const writable = { accessLevel: "CurrentRead | CurrentWrite", userAccessLevel: "CurrentRead | CurrentWrite" };

function variable(ns, parent, path, name, dataType, value) {
    return ns.addVariable({
        organizedBy: parent,
        browseName: name,
        nodeId: `s=${path}.${name}`,
        dataType,
        minimumSamplingInterval: 100,
        ...writable,
        value: new Variant({ dataType: DataType[dataType], value })
    });
}

function set(v, dataType, value) {
    v.setValueFromSource(new Variant({ dataType: DataType[dataType], value }), StatusCodes.Good);
}

function current(v) {
    return v.readValue().value.value;
}

function buildAddressSpace(server, o, timers) {
    const addressSpace = server.engine.addressSpace;
    const ns = addressSpace.getOwnNamespace();
    const objects = addressSpace.rootFolder.objects;
    const every = (ms, fn) => timers.push(setInterval(fn, ms));
    const started = Date.now();
    const seconds = () => (Date.now() - started) / 1000;

    const channel = ns.addFolder(objects, { browseName: "Channel1", nodeId: "s=Channel1" });
    const device = ns.addFolder(channel, { browseName: "Device1", nodeId: "s=Channel1.Device1" });
    const d = "Channel1.Device1";
    const speed = variable(ns, device, d, "Speed", "Int16", 0);
    const temp = variable(ns, device, d, "Temp", "Float", 20);
    const run = variable(ns, device, d, "Run", "Boolean", false);
    const level = ns.addAnalogDataItem({
        organizedBy: device,
        browseName: "Level",
        nodeId: `s=${d}.Level`,
        dataType: "Double",
        engineeringUnitsRange: { low: 0, high: 100 },
        minimumSamplingInterval: 100,
        ...writable,
        value: new Variant({ dataType: DataType.Double, value: 50 })
    });
    const count = variable(ns, device, d, "Count", "UInt16", 0);
    const name = variable(ns, device, d, "Name", "String", "Device1 #0");
    const big = variable(ns, device, d, "Big", "Int32", 100000);
    let names = 0;
    every(500, () => set(speed, "Int16", (current(speed) + 1) % 32000));
    every(200, () => {
        set(temp, "Float", 20 + 5 * Math.sin(2 * Math.PI * seconds() / 10));
        set(level, "Double", 50 + 45 * Math.sin(2 * Math.PI * seconds() / 20));
    });
    every(1000, () => {
        set(run, "Boolean", !current(run));
        set(count, "UInt16", (current(count) + 1) % 65536);
        set(big, "Int32", 100000 + 1000 * Math.floor(seconds()));
    });
    every(3000, () => set(name, "String", `Device1 #${++names}`));

    const flat = ns.addFolder(objects, { browseName: "Flat", nodeId: "s=Flat" });
    const fByte = variable(ns, flat, "Flat", "Byte", "Byte", 0);
    const fSByte = variable(ns, flat, "Flat", "SByte", "SByte", 0);
    const fUInt32 = variable(ns, flat, "Flat", "UInt32", "UInt32", 0);
    const ramp = variable(ns, flat, "Flat", "Ramp", "Double", 0);
    const time = variable(ns, flat, "Flat", "Time", "DateTime", new Date());
    every(1000, () => {
        set(fByte, "Byte", (current(fByte) + 1) % 256);
        set(fSByte, "SByte", ((current(fSByte) + 129) % 256) - 128);
        set(fUInt32, "UInt32", (current(fUInt32) + 1) % 4294967296);
        set(time, "DateTime", new Date());
    });
    every(200, () => set(ramp, "Double", (current(ramp) + 1) % 101));

    const fixed = ns.addFolder(objects, { browseName: "Static", nodeId: "s=Static" });
    const initial = {
        Int16: -1234, Byte: 200, UInt32: 4000000000, Double: 3.5,
        DateTime: new Date(Date.UTC(2024, 0, 2, 3, 4, 5)), String: "hello",
        Boolean: true, Float: 1.25
    };
    for (const [type, value] of Object.entries(initial)) variable(ns, fixed, "Static", type, type, value);

    if (o.bigFolder > 0) {
        const folder = ns.addFolder(objects, { browseName: "BigFolder", nodeId: "s=BigFolder" });
        for (let k = 0; k < o.bigFolder; ++k) variable(ns, folder, "BigFolder", `V${k}`, "Int32", k);
    }

    if (o.bench > 0) {
        const folder = ns.addFolder(objects, { browseName: "Bench", nodeId: "s=Bench" });
        const vars = [];
        for (let k = 0; k < o.bench; ++k) vars.push(variable(ns, folder, "Bench", `V${k}`, "Double", 0));
        let tick = 0;
        every(o.benchInterval, () => {
            ++tick;
            for (let k = 0; k < vars.length; ++k) set(vars[k], "Double", tick + k / 1000);
        });
    }
}

async function main() {
    let o;
    try {
        o = parseArgs(process.argv.slice(2));
    } catch (e) {
        console.error(`server.js: ${e.message}`);
        process.exit(2);
    }
    const log = (...a) => { if (!o.quiet) console.error(...a); };
    const port = o.port || await freeLoopbackPort();

    const secured = {};
    if (o.security) {
        const user = o.user || "operator:peer-secret";
        const colon = user.indexOf(":");
        const [name, password] = [user.slice(0, colon), user.slice(colon + 1)];
        const serverCertificateManager = new OPCUACertificateManager({
            rootFolder: o.security, automaticallyAcceptUnknownCertificate: true
        });
        await serverCertificateManager.initialize();
        Object.assign(secured, {
            serverCertificateManager,
            certificateFile: `${o.security}/own/certs/server_certificate.pem`,
            privateKeyFile: `${o.security}/own/private/private_key.pem`,
            securityPolicies: [SecurityPolicy.None, ...o.policies.map((p) => SecurityPolicy[p])],
            securityModes: [MessageSecurityMode.None, MessageSecurityMode.Sign, MessageSecurityMode.SignAndEncrypt],
            userManager: { isValidUser: (u, p) => u === name && p === password }
        });
    }
    const server = new OPCUAServer({
        port,
        host: "127.0.0.1",
        hostname: "127.0.0.1",
        securityPolicies: [SecurityPolicy.None],
        securityModes: [MessageSecurityMode.None],
        allowAnonymous: true,
        ...secured,
        serverInfo: {
            applicationUri: "urn:opcua-peer:server",
            productUri: "urn:opcua-peer",
            applicationName: { text: "OPC UA Test Peer", locale: "en" }
        },
        buildInfo: {
            productUri: "urn:opcua-peer",
            manufacturerName: "Test Peer Maker",
            productName: "OPC UA Test Peer",
            softwareVersion: "1.2.3",
            buildNumber: "4567",
            buildDate: new Date(Date.UTC(2024, 0, 2, 3, 4, 5))
        },
        serverCapabilities: {
            maxSessions: 20,
            maxBrowseContinuationPoints: o.maxContinuationPoints
        }
    });

    const timers = [];
    let stopping = false;
    const stop = async (why, code) => {
        if (stopping) return;
        stopping = true;
        log(`server.js: stopping (${why})`);
        for (const t of timers) clearInterval(t);
        // Never hang on the way out: the lifetime bound is the point.
        setTimeout(() => process.exit(code), 2000).unref();
        try { await server.shutdown(0); } catch (e) { log(`server.js: shutdown: ${e.message}`); }
        process.exit(code);
    };
    process.on("SIGTERM", () => stop("SIGTERM", 0));
    process.on("SIGINT", () => stop("SIGINT", 0));
    setTimeout(() => stop(`lifetime of ${o.runSeconds} s over`, 0), o.runSeconds * 1000).unref();
    if (!o.ignoreStdin) {
        process.stdin.on("end", () => stop("standard input closed", 0));
        process.stdin.on("error", () => stop("standard input failed", 0));
        process.stdin.resume();
    }

    await server.initialize();
    buildAddressSpace(server, o, timers);
    await server.start();
    // The lifetime timer is unref'd; the listening socket keeps the process alive.
    process.stdout.write(`READY port=${port} url=opc.tcp://127.0.0.1:${port}\n`);
    log(`server.js: ${o.bigFolder} variables in BigFolder, ${o.bench} in Bench, stops in ${o.runSeconds} s`);
}

main().catch((e) => {
    console.error(`server.js: ${e.stack || e.message}`);
    process.exit(1);
});
