// imapflow (a Node IMAP client) driven by imap_clients_interop.py: one step per run, its
// findings as one JSON line on stdout ("ready" lines before it where the script must act).
'use strict';
const fs = require('fs');
const { ImapFlow } = require('imapflow');

const [mode, argText] = process.argv.slice(2);
const args = JSON.parse(argText);

function say(value) {
    process.stdout.write(JSON.stringify(value) + '\n');
}

// A step that hangs ends by itself; the script waits on us with a time-out of its own too.
setTimeout(() => {
    say({ error: 'no end within 60 s' });
    process.exit(3);
}, 60000).unref();

function connect(extra) {
    return new ImapFlow(Object.assign({
        host: 'localhost', port: args.port, secure: true,
        tls: { ca: [fs.readFileSync(args.ca)], servername: 'localhost' },
        auth: { user: args.user, pass: args.pass }, logger: false
    }, extra || {}));
}

// Waits (bounded) until `condition()` holds, checking whenever imapflow reports something.
function until(emitter, events, condition, ms) {
    return new Promise((resolve) => {
        const done = (value) => { clearTimeout(timer); events.forEach(e => emitter.off(e, check)); resolve(value); };
        const check = () => { if (condition()) done(true); };
        const timer = setTimeout(() => done(false), ms);
        events.forEach(e => emitter.on(e, check));
        check();
    });
}

const steps = {
    // Tells the script once the server has taken IDLE, then waits for the EXISTS of the
    // message the script hands in by SMTP.
    async idle() {
        let idling = false;
        const log = { debug: (e) => { if (e && /Initiated IDLE/.test(e.msg || '')) idling = true; },
                      info() {}, warn() {}, error() {}, trace() {} };
        const client = connect({ logger: log });
        await client.connect();
        const box = await client.mailboxOpen('INBOX');
        const before = box.exists;
        let seen = null;
        let seenWhileIdling = false;
        client.on('exists', (e) => { seen = e.count; seenWhileIdling = idling; });
        const idle = client.idle();
        for (let i = 0; i < 300 && !idling; i++) await new Promise(r => setTimeout(r, 50));
        say({ ready: idling, before });
        const told = await until(client, ['exists'], () => seen !== null, 30000);
        say({ told, before, count: seen, whileIdling: seenWhileIdling });
        await client.logout();
        await idle.catch(() => {});
    },

    // CONDSTORE: the HIGHESTMODSEQ before a flag change made by a second session; a
    // changedSince fetch then returns exactly the changed message.
    async condstore() {
        const client = connect();
        await client.connect();
        // imapflow keeps the mailbox object up to date: the value at the start is kept apart.
        const since = (await client.mailboxOpen('INBOX')).highestModseq;
        const other = connect();
        await other.connect();
        await other.mailboxOpen('INBOX');
        await other.messageFlagsAdd(String(args.uid), ['$Checked'], { uid: true });
        await other.logout();
        const changed = [];
        for await (const m of client.fetch('1:*', { uid: true, flags: true }, { changedSince: since, uid: true })) {
            changed.push({ uid: m.uid, flags: [...m.flags], modseq: String(m.modseq) });
        }
        say({ highestModseq: String(since), changed });
        await client.logout();
    },

    // QRESYNC, first half: what a client keeps of the mailbox before it goes away.
    async qresyncState() {
        const client = connect({ qresync: true });
        await client.connect();
        const box = await client.mailboxOpen('INBOX');
        const uids = [];
        for await (const m of client.fetch('1:*', { uid: true })) uids.push(m.uid);
        say({ uidValidity: String(box.uidValidity), highestModseq: String(box.highestModseq), uids,
              enabled: [...client.enabled] });
        await client.logout();
    },

    // QRESYNC, second half: a reconnect with the kept UIDVALIDITY/MODSEQ hears VANISHED.
    async qresyncResume() {
        const client = connect({ qresync: true });
        const vanished = [];
        let earlier = null;
        client.on('expunge', (e) => { if (e.vanished) { vanished.push(e.uid); earlier = e.earlier; } });
        await client.connect();
        const box = await client.mailboxOpen('INBOX', { uidValidity: args.uidValidity, changedSince: args.modseq });
        say({ vanished, earlier, qresync: !!box.qresync, exists: box.exists });
        await client.logout();
    },

    // MOVE of one message by UID into a folder: the new UID (COPYUID) and the message gone.
    async move() {
        const client = connect();
        await client.connect();
        await client.mailboxOpen('INBOX');
        const result = await client.messageMove(String(args.uid), args.folder, { uid: true });
        const left = [];
        for await (const m of client.fetch('1:*', { uid: true })) left.push(m.uid);
        say({ uidMap: result && result.uidMap ? [...result.uidMap.entries()] : null, left });
        await client.logout();
    },

    // Flags set here are for another client to see; the flags of a message as we see them.
    async setFlags() {
        const client = connect();
        await client.connect();
        await client.mailboxOpen('INBOX');
        await client.messageFlagsAdd(String(args.uid), args.flags, { uid: true });
        const m = await client.fetchOne(String(args.uid), { flags: true }, { uid: true });
        say({ flags: [...m.flags] });
        await client.logout();
    },

    async getFlags() {
        const client = connect();
        await client.connect();
        await client.mailboxOpen('INBOX');
        const m = await client.fetchOne(String(args.uid), { flags: true }, { uid: true });
        say({ flags: [...m.flags] });
        await client.logout();
    },

    async remove() {
        const client = connect();
        await client.connect();
        await client.mailboxOpen('INBOX');
        const ok = await client.messageDelete(String(args.uid), { uid: true });
        say({ deleted: ok });
        await client.logout();
    },

    // The whole message as imapflow downloads it, hex-coded.
    async download() {
        const client = connect();
        await client.connect();
        await client.mailboxOpen('INBOX');
        const m = await client.fetchOne(String(args.uid), { source: true }, { uid: true });
        say({ source: m.source.toString('hex') });
        await client.logout();
    }
};

steps[mode]().catch((err) => {
    say({ error: String(err && (err.responseText || err.message) || err) });
    process.exit(2);
});
