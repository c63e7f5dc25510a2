#!/usr/bin/env node
// node-opcua's own client on the benchmark subscription, the reference that
// bench/compare_opcua.sh sets beside the gateway's client:
//
//   node bench-client.js URL N SECONDS [--warmup SECONDS] [--mode None|SignAndEncrypt] [--policy NAME]
//
// One subscription (publishing 100 ms) with N monitored items ns=1;s=Bench.V<k>
// (sampling 100 ms, queue 1, source and server timestamps), created in one
// call as a monitored-item group (one "changed" event per change). After the warm-up it counts data changes for SECONDS and prints
//   WINDOW begin            when counting starts
//   RESULT changes=C seconds=S per_second=R cpu_us_per_change=U cpu_percent=P
// with the process CPU time (user + system, all threads) of the window.
// --mode SignAndEncrypt secures the channel with Basic256Sha256, or the policy
// --policy names (Aes128_Sha256_RsaOaep, Aes256_Sha256_RsaPss); the peer
// started with --security accepts any client certificate.
// The whole run is bounded: it exits with status 3 if it is not done within
// warm-up + SECONDS + 30 s.
"use strict";

const {
    OPCUAClient, MessageSecurityMode, SecurityPolicy, TimestampsToReturn, AttributeIds
} = require("node-opcua");

function parseArgs(argv) {
    const positional = [];
    let warmup = 3;
    let mode = "None";
    let policy = "Basic256Sha256";
    for (let i = 0; i < argv.length; ++i) {
        if (argv[i] === "--warmup") warmup = Number(argv[++i]);
        else if (argv[i] === "--mode") mode = argv[++i];
        else if (argv[i] === "--policy") policy = argv[++i];
        else positional.push(argv[i]);
    }
    const [url, n, seconds] = [positional[0], Number(positional[1]), Number(positional[2])];
    const ok = url && url.startsWith("opc.tcp://127.0.0.1:") && Number.isInteger(n) && n > 0 && n <= 100000 &&
        seconds > 0 && seconds <= 600 && warmup >= 0 && warmup <= 60 && (mode === "None" || mode === "SignAndEncrypt") &&
        ["Basic256Sha256", "Aes128_Sha256_RsaOaep", "Aes256_Sha256_RsaPss"].includes(policy);
    if (!ok) {
        throw new Error("usage: bench-client.js opc.tcp://127.0.0.1:PORT N SECONDS [--warmup SECONDS]" +
            " [--mode None|SignAndEncrypt] [--policy NAME]");
    }
    return { url, n, seconds, warmup, secure: mode === "SignAndEncrypt", policy };
}

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

async function main() {
    const o = parseArgs(process.argv.slice(2));
    setTimeout(() => {
        console.error("bench-client.js: not done in time");
        process.exit(3);
    }, (o.warmup + o.seconds + 30) * 1000).unref();

    const client = OPCUAClient.create({
        applicationName: "bench-client",
        securityMode: o.secure ? MessageSecurityMode.SignAndEncrypt : MessageSecurityMode.None,
        securityPolicy: o.secure ? SecurityPolicy[o.policy] : SecurityPolicy.None,
        endpointMustExist: false,
        connectionStrategy: { maxRetry: 0 }
    });
    await client.connect(o.url);
    const session = await client.createSession();
    const subscription = await session.createSubscription2({
        requestedPublishingInterval: 100,
        requestedLifetimeCount: 600,
        requestedMaxKeepAliveCount: 10,
        maxNotificationsPerPublish: 0,
        publishingEnabled: true,
        priority: 1
    });
    const items = [];
    for (let k = 0; k < o.n; ++k) items.push({ nodeId: `ns=1;s=Bench.V${k}`, attributeId: AttributeIds.Value });
    const group = await subscription.monitorItems(items,
        { samplingInterval: 100, queueSize: 1, discardOldest: true }, TimestampsToReturn.Both);
    let changes = 0;
    group.on("changed", () => { ++changes; });

    await sleep(o.warmup * 1000);
    process.stdout.write("WINDOW begin\n");
    const c0 = changes, cpu0 = process.cpuUsage(), t0 = process.hrtime.bigint();
    await sleep(o.seconds * 1000);
    const counted = changes - c0, cpu = process.cpuUsage(cpu0);
    const seconds = Number(process.hrtime.bigint() - t0) / 1e9;
    const cpuUs = cpu.user + cpu.system;
    process.stdout.write(`RESULT changes=${counted} seconds=${seconds.toFixed(3)}` +
        ` per_second=${(counted / seconds).toFixed(0)}` +
        ` cpu_us_per_change=${counted > 0 ? (cpuUs / counted).toFixed(2) : "nan"}` +
        ` cpu_percent=${(cpuUs / 1e4 / seconds).toFixed(1)}\n`);

    await subscription.terminate();
    await session.close();
    await client.disconnect();
    process.exit(0);
}

main().catch((e) => {
    console.error(`bench-client.js: ${e.message}`);
    process.exit(1);
});
