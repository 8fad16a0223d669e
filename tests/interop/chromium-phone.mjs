// Headless Chromium as the phone's WebRTC end. Signalling travels as one JSON object per line:
// the helper's "offer" and "ice" messages come in on stdin; "answer", "ice" and "report" lines go
// out on stdout. A report tells what the page has seen: the track and its streams, decoded frames
// and their size (from getStats), the data channels, sound packets on "ovu-audio" and their
// numbering; the page sends one control message on "ovu-input" once that channel opens.
import { chromium } from 'playwright-core';
import readline from 'node:readline';

const out = (message) => process.stdout.write(JSON.stringify(message) + '\n');
// playwright starts Chromium with a fresh profile of its own each time.
const browser = await chromium.launch({
  executablePath: process.env.OVU_CHROMIUM || '/usr/bin/chromium',
  args: [
    '--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
    '--disable-background-networking', '--disable-component-update', '--disable-sync',
    '--disable-features=WebRtcHideLocalIpsWithMdns',
  ],
});
const page = await browser.newPage();
page.on('console', (message) => process.stderr.write(`page: ${message.text()}\n`));
await page.exposeFunction('signal', (message) => out(message));
await page.evaluate(() => {
  const pc = new RTCPeerConnection();
  window.sound = { packets: 0, breaks: 0, last: null, largest: 0 };
  window.channels = [];
  pc.onicecandidate = (event) => {
    if (event.candidate && event.candidate.candidate) {
      window.signal({ t: 'ice', sdp: event.candidate.candidate, index: event.candidate.sdpMLineIndex,
                      mid: event.candidate.sdpMid });
    }
  };
  pc.ontrack = (event) => {
    window.track = { id: event.track.id, streams: event.streams.map((stream) => stream.id) };
    // A video element keeps the track decoding, as the app's view does.
    const video = document.createElement('video');
    video.muted = true;
    video.srcObject = new MediaStream([event.track]);
    document.body.appendChild(video);
    video.play().catch(() => {});
  };
  pc.ondatachannel = (event) => {
    const channel = event.channel;
    channel.binaryType = 'arraybuffer';
    if (channel.label === 'ovu-audio') {
      channel.onmessage = (message) => {
        const sequence = new DataView(message.data).getUint32(0);
        const s = window.sound;
        s.breaks += s.last !== null && sequence !== ((s.last + 1) >>> 0) ? 1 : 0;
        s.last = sequence;
        s.packets++;
        s.largest = Math.max(s.largest, message.data.byteLength);
      };
    } else if (channel.label === 'ovu-input') {
      const send = () => channel.send(JSON.stringify({ t: 'move', x: 0.25, y: 0.75 }));
      if (channel.readyState === 'open') send(); else channel.onopen = send;
    }
    window.channels.push(
      `${channel.label} ${channel.ordered ? 'ordered' : 'unordered'} ${channel.maxRetransmits}`);
  };
  window.receive = async (message) => {
    if (message.t === 'offer') {
      await pc.setRemoteDescription({ type: 'offer', sdp: message.sdp });
      const answer = await pc.createAnswer();
      await pc.setLocalDescription(answer);
      window.signal({ t: 'answer', sdp: answer.sdp });
    } else if (message.t === 'ice') {
      await pc.addIceCandidate({ candidate: message.sdp, sdpMLineIndex: message.index ?? 0,
                                 sdpMid: message.mid ?? null }).catch((e) => console.log('ice: ' + e));
    }
  };
  window.report = async () => {
    const stats = await pc.getStats();
    const video = [...stats.values()].find((entry) => entry.type === 'inbound-rtp' && entry.kind === 'video');
    return { t: 'report', framesDecoded: video?.framesDecoded ?? 0, frameWidth: video?.frameWidth ?? 0,
             frameHeight: video?.frameHeight ?? 0, codec: stats.get(video?.codecId)?.mimeType ?? '',
             sound: window.sound, channels: window.channels.sort(), track: window.track ?? null };
  };
});

const lines = readline.createInterface({ input: process.stdin });
lines.on('line', async (line) => {
  if (!line.trim()) return;
  await page.evaluate((message) => window.receive(message), JSON.parse(line));
});
const timer = setInterval(async () => {
  try {
    out(await page.evaluate(() => window.report()));
  } catch (error) {
    process.stderr.write(`report failed: ${error}\n`);
  }
}, 500);
lines.on('close', async () => {
  clearInterval(timer);
  await browser.close();
  process.exit(0);
});
