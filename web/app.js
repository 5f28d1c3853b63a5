// Tarn live view: a top view of the characters the host pushes over /live,
// with selection, steering by hand and walk-to targets sent over /rpc.
//
// Layout of this file:
//   settings and palette
//   the /rpc helper and the status line
//   the world: the last frame in typed arrays, per-character trails
//   the live stream and the view subscription
//   steering: cached remote objects, per-character send queues, walk-to
//   the view transform and drawing
//   mouse and keyboard input, the side panel, the header
//   the hooks the automated browser test reads
'use strict';

(() => {
  // ---- Settings -----------------------------------------------------------

  const BODY_RADIUS = 0.3;            // metres
  const TRAIL_SECONDS = 4;
  const TRAIL_HZ = 10;
  const TRAIL_N = TRAIL_SECONDS * TRAIL_HZ + 2;  // ring buffer length per character
  const TRAIL_ALPHAS = [0.7, 0.45, 0.25, 0.1];    // one bucket per second of age
  const CONTACT_SECONDS = 3;          // foot contact marks fade over this time
  const ARRIVE_DISTANCE = 0.3;        // a walk-to target is reached within this
  const WALK_RESEND_MS = 200;         // at most 5 heading updates/s per walking character
  const WALK_MIN_TURN_DEG = 2;
  const THROTTLE_MS = 100;            // drag heading and speed slider: at most 10 calls/s
  const CLICK_SLOP_PX = 4;            // a press that moves less than this is a click
  const LABEL_MIN_SCALE = 45;         // px per metre before every character gets a label
  const LABEL_MAX_COUNT = 400;        // ... and only when no more than this are visible
  const MIN_SCALE = 0.5, MAX_SCALE = 600;
  const DEFAULT_PREFAB = 'demo/biped.prefab.json';
  const FLAG_ARRIVED = 1, FLAG_ACTIVE = 2;

  // Fixed colours for the movements the demo character knows; other names
  // get a colour derived from their text so it stays the same across frames.
  const PALETTE = {
    Idle: '#868e96', Breath: '#adb5bd', Walk: '#2f9e44',
    TurnLeft: '#1c7ed6', TurnRight: '#4c6ef5',
    IdleToWalkLeft: '#fab005', IdleToWalkRight: '#f08c00',
    WalkToIdleLeft: '#e8590c', WalkToIdleRight: '#c92a2a',
    LookUp: '#ae3ec9', LookDown: '#7048e8', LookLeft: '#d6336c', LookRight: '#f783ac',
  };
  const NONE_COLOR = '#ffffff';   // no movement (standby): outlined white

  function colorOf(name) {
    if (PALETTE[name]) return PALETTE[name];
    let h = 0;
    for (let i = 0; i < name.length; i++) h = (h * 31 + name.charCodeAt(i)) % 360;
    return `hsl(${h}, 55%, 50%)`;
  }

  const $ = (id) => document.getElementById(id);
  const DEG = Math.PI / 180;
  const wrapDeg = (a) => ((a + 540) % 360) - 180;
  const quatZ = (deg) => ({ x: 0, y: 0, z: Math.sin(deg * DEG / 2), w: Math.cos(deg * DEG / 2) });

  // ---- /rpc and the status line --------------------------------------------

  const net = {
    token: '',          // stream token from the last hello
    es: null,
    state: 'connecting',
    connected: false,   // the subscription for the current token succeeded
    viewId: null,       // GaitViewRpc instance
    pending: 0,
    lastError: '',
    unloading: false,   // requests sent while the page goes use keepalive
  };

  const HTTP_REASONS = { 403: 'origin refused', 413: 'request too large', 503: 'too many connections' };

  // Sends one request of the engine protocol. Resolves with the reply's Res
  // (undefined for a method without result or a request without WaitAck),
  // rejects with an Error whose message is ready to show.
  async function call(className, method, instanceId, args = [], waitAck = true) {
    const request = {
      ClassName: className, MethodName: method, InstanceID: instanceId,
      WaitAck: waitAck, UseTcpThread: false,
    };
    args.forEach((arg, i) => { request['Arg' + i] = arg; });
    const headers = { 'Content-Type': 'application/json' };
    if (net.token) headers['X-Tarn-Stream'] = net.token;
    const what = `${className}.${method}`;
    net.pending++;
    try {
      let res;
      try {
        res = await fetch('/rpc', {
          method: 'POST', headers, body: JSON.stringify(request), keepalive: net.unloading,
        });
      } catch (e) {
        throw new Error(`${what}: the host cannot be reached`);
      }
      if (res.status === 204) return undefined;
      const text = await res.text();
      if (res.ok && !text.trim()) return undefined;
      if (!res.ok) {
        const detail = text.trim() || HTTP_REASONS[res.status] || res.statusText;
        throw new Error(`${what}: HTTP ${res.status}: ${detail}`);
      }
      let reply;
      try { reply = JSON.parse(text); } catch (e) { throw new Error(`${what}: unreadable reply`); }
      if (reply && typeof reply.Error === 'string') throw new Error(`${what}: ${reply.Error}`);
      return reply ? reply.Res : undefined;
    } finally {
      net.pending--;
    }
  }

  // The instance number of an object result {"InstanceID":n}.
  function idOf(res) {
    if (!res || typeof res.InstanceID !== 'number') throw new Error(`expected an object, the host answered ${JSON.stringify(res)}`);
    return res.InstanceID;
  }

  let statusTimer = 0;
  function showStatus(text, isError = false) {
    const el = $('status');
    el.textContent = text;
    el.className = isError ? 'show error' : 'show';
    if (isError) net.lastError = text;
    clearTimeout(statusTimer);
    statusTimer = setTimeout(() => el.classList.remove('show'), isError ? 8000 : 3000);
  }
  const report = (err) => showStatus(err && err.message ? err.message : String(err), true);

  // ---- The world: the last frame ---------------------------------------------

  // Columns of the last frame, in typed arrays that grow but are never
  // reallocated per frame. `recs[i]` is the persistent record of row i.
  const world = {
    frames: 0, step: 0, count: 0, cap: 0,
    movements: [], colors: [], movementsKey: '',
    ids: null, x: null, y: null, heading: null, reqHeading: null,
    movement: null, speed: null, flags: null, recs: [],
    order: new Int32Array(0),   // row indices sorted by movement (last bucket: none)
    bucketStart: [],            // start of each movement's run in `order`, plus the end
    selected: null,             // the frame's Selected, when it is the selected character
    files: new Map(),           // character Id -> prefab file, when the frame tells
  };
  const records = new Map();    // character Id -> {index, seen, trail ring}
  let ingestCount = 0;

  function ensureCapacity(n) {
    if (n <= world.cap) return;
    const cap = Math.max(n, world.cap * 2, 64);
    const grow = (Type, old) => { const a = new Type(cap); if (old) a.set(old); return a; };
    world.ids = grow(Float64Array, world.ids);
    world.x = grow(Float32Array, world.x);
    world.y = grow(Float32Array, world.y);
    world.heading = grow(Float32Array, world.heading);
    world.reqHeading = grow(Float32Array, world.reqHeading);
    world.movement = grow(Int16Array, world.movement);
    world.speed = grow(Float32Array, world.speed);
    world.flags = grow(Uint8Array, world.flags);
    world.order = new Int32Array(cap);
    screen.sx = new Float32Array(cap);
    screen.sy = new Float32Array(cap);
    world.cap = cap;
  }

  function newRecord() {
    return { index: 0, seen: 0, tx: new Float32Array(TRAIL_N), ty: new Float32Array(TRAIL_N),
      tt: new Float64Array(TRAIL_N), head: 0, len: 0 };
  }

  // Applies one GaitView frame: columns, trails, removals, selection details.
  function ingest(frame) {
    const now = performance.now();
    world.frames++;
    world.step = frame.Step;
    ingestCount++;

    const movements = Array.isArray(frame.Movements) ? frame.Movements : world.movements;
    const key = movements.join('\n');
    if (key !== world.movementsKey) {
      world.movements = movements.slice();
      world.colors = world.movements.map(colorOf);
      world.movementsKey = key;
      buildLegend();
      buildWeights();
    }

    const rows = Array.isArray(frame.Characters) ? frame.Characters : [];
    const n = rows.length;
    ensureCapacity(n);
    const M = world.movements.length;
    const bucketCount = new Int32Array(M + 2);
    for (let i = 0; i < n; i++) {
      const r = rows[i];
      const id = r[0];
      world.ids[i] = id; world.x[i] = r[1]; world.y[i] = r[2];
      world.heading[i] = r[3]; world.reqHeading[i] = r[4];
      const m = r[5] >= 0 && r[5] < M ? r[5] : -1;
      world.movement[i] = m; world.speed[i] = r[6]; world.flags[i] = r[7];
      bucketCount[m < 0 ? M : m]++;

      let rec = records.get(id);
      if (!rec) { rec = newRecord(); records.set(id, rec); }
      rec.index = i; rec.seen = ingestCount;
      world.recs[i] = rec;
      // Trail sample at about TRAIL_HZ.
      const last = rec.len ? rec.tt[(rec.head + TRAIL_N - 1) % TRAIL_N] : -Infinity;
      if (now - last >= 1000 / TRAIL_HZ - 5) {
        rec.tx[rec.head] = r[1]; rec.ty[rec.head] = r[2]; rec.tt[rec.head] = now;
        rec.head = (rec.head + 1) % TRAIL_N;
        if (rec.len < TRAIL_N) rec.len++;
      }
    }
    world.count = n;
    world.recs.length = n;

    // Counting sort of the rows by movement, so bodies are filled one colour at a time.
    const start = new Array(M + 2);
    start[0] = 0;
    for (let b = 0; b <= M; b++) start[b + 1] = start[b] + bucketCount[b];
    const fill = start.slice();
    for (let i = 0; i < n; i++) {
      const m = world.movement[i];
      world.order[fill[m < 0 ? M : m]++] = i;
    }
    world.bucketStart = start;

    // Characters that left the world.
    if (records.size > n) {
      for (const [id, rec] of records) {
        if (rec.seen === ingestCount) continue;
        records.delete(id);
        walkTargets.delete(id);
        dropSteer(id);
        if (id === ui.selectedId) select(0);
      }
    }

    readFiles(frame.Files);
    const sel = frame.Selected;
    if (sel && sel.Id === ui.selectedId) {
      world.selected = sel;
      if (typeof sel.File === 'string') world.files.set(sel.Id, sel.File);
      if (Array.isArray(sel.Contacts) && sel.Contacts.length) addContacts(sel.Contacts, now);
    } else if (!ui.selectedId) {
      world.selected = null;
    }
    ui.panelDirty = true;

    updateWalkTargets(now);
    if (!view.fitted && n > 0) fitView();
  }

  // The frame may tell which prefab file each character comes from; accept
  // a list of {Id, File} entries or an object keyed by Id.
  function readFiles(files) {
    if (!files) return;
    const put = (id, f) => {
      const file = typeof f === 'string' ? f : f && f.File;
      if (typeof file === 'string') world.files.set(Number(id), file);
    };
    if (Array.isArray(files)) files.forEach((e) => e && put(e.Id, e));
    else if (typeof files === 'object') Object.keys(files).forEach((id) => put(id, files[id]));
  }

  function prefabFile() {
    const f = world.files.get(ui.selectedId);
    if (f) return f;
    for (const file of world.files.values()) return file;
    return DEFAULT_PREFAB;
  }

  const rowOf = (id) => { const rec = records.get(id); return rec ? rec.index : -1; };

  // ---- The live stream and the view subscription ------------------------------

  const stats = { updates: 0, bytes: 0, paints: 0, since: performance.now(),
    fps: 0, updatesPerSecond: 0, bytesPerSecond: 0 };

  function setConn(state) {
    net.state = state;
    const el = $('conn');
    el.dataset.state = state;
    el.textContent = state;
  }

  function openStream() {
    const es = new EventSource('/live');
    net.es = es;
    setConn('connecting');
    es.addEventListener('hello', (ev) => {
      stats.bytes += ev.data.length;
      let token = '';
      try { token = JSON.parse(ev.data).Stream; } catch (e) { /* reported below */ }
      if (!token) { report(new Error('the stream sent a hello without a token')); return; }
      // A new stream: objects fetched before may belong to a restarted host,
      // so fetch them again when needed.
      net.token = token;
      net.connected = false;
      net.viewId = null;
      resetSteering();
      subscribe(token);
    });
    es.onmessage = (ev) => {
      // Event data is ASCII JSON, so its length is its size in bytes.
      stats.bytes += ev.data.length;
      stats.updates++;
      let frame;
      try { frame = JSON.parse(ev.data); } catch (e) { report(new Error('unreadable frame on /live')); return; }
      if (frame && frame.Event === 'GaitView') ingest(frame);
    };
    es.onerror = () => {
      net.connected = false;
      setConn('reconnecting');
      // The browser retries by itself unless it gave up (e.g. a refused stream).
      if (es.readyState === EventSource.CLOSED && net.es === es) setTimeout(openStream, 2000);
    };
  }

  const period = () => Math.round(Number($('rate').value) || 0);

  async function subscribe(token) {
    setConn('subscribing');
    try {
      const v = idOf(await call('GaitViewRpc', 'GetRPCSingleton', 0));
      if (token !== net.token) return;  // a newer hello took over
      net.viewId = v;
      await call('GaitViewRpc', 'Subscribe', v, [period()]);
      if (ui.selectedId) await call('GaitViewRpc', 'Select', v, [ui.selectedId]);
      if (token !== net.token) return;
      net.connected = true;
      setConn('live');
    } catch (err) {
      report(err);
      setConn('reconnecting');
      // Try again on the same stream; a new hello starts over anyway.
      setTimeout(() => { if (token === net.token && !net.connected) subscribe(token); }, 3000);
    }
  }

  // ---- Steering ---------------------------------------------------------------

  // Per character: the cached Prefab (p) and Gait component (g) objects, and
  // the latest wished heading and speed. One request at a time goes out per
  // character, so they reach the host in order, and newer wishes replace
  // older ones still waiting.
  const steers = new Map();
  let pmPromise = null, builderPromise = null;

  function prefabManager() {
    if (!pmPromise) {
      pmPromise = call('Root', 'GetPrefabManager', 0).then(idOf)
        .catch((e) => { pmPromise = null; throw e; });
    }
    return pmPromise;
  }

  function builder() {
    if (!builderPromise) {
      builderPromise = call('GaitComponentBuilderRpc', 'GetRPCSingleton', 0).then(idOf)
        .catch((e) => { builderPromise = null; throw e; });
    }
    return builderPromise;
  }

  function steerFor(id) {
    let s = steers.get(id);
    if (!s) {
      s = { id, p: null, g: null, ready: null, busy: false, heading: null, speed: null };
      steers.set(id, s);
    }
    return s;
  }

  // Fetches the character's Gait component once and wakes it up.
  function gaitOf(s) {
    if (!s.ready) {
      s.ready = (async () => {
        if (s.p === null) s.p = idOf(await call('PrefabManager', 'GetPrefab', await prefabManager(), [s.id]));
        if (s.g === null) {
          s.g = idOf(await call('GaitComponentBuilderRpc', 'GetPrefabComponent', await builder(),
            [{ InstanceID: s.p }]));
        }
        await call('GaitComponentRpc', 'Activate', s.g, [true]);
        return s.g;
      })().catch((e) => { s.ready = null; throw e; });
    }
    return s.ready;
  }

  function steer(id, wish) {
    const s = steerFor(id);
    if (wish.heading !== undefined) s.heading = wrapDeg(wish.heading);
    if (wish.speed !== undefined) s.speed = Math.round(wish.speed * 100) / 100;
    pump(s);
  }

  async function pump(s) {
    if (s.busy) return;
    s.busy = true;
    try {
      const g = await gaitOf(s);
      while (s.heading !== null || s.speed !== null) {
        if (s.heading !== null) {        // rotation first: a walk-to turns, then goes
          const h = s.heading; s.heading = null;
          await call('GaitComponentRpc', 'SetRotation', g, [quatZ(h)]);
        } else {
          const v = s.speed; s.speed = null;
          await call('GaitComponentRpc', 'SetSpeed', g, [v]);
        }
      }
    } catch (err) {
      s.heading = s.speed = null;
      if (/Cannot retreive instance ptr/.test(err.message)) { s.p = s.g = s.ready = null; }
      report(err);
    } finally {
      s.busy = false;
    }
  }

  // Gives back the objects held for a character that left the world.
  function dropSteer(id) {
    const s = steers.get(id);
    if (!s) return;
    steers.delete(id);
    if (s.g !== null) call('GaitComponentRpc', 'ReleaseRef', s.g).catch(() => {});
    if (s.p !== null) call('Prefab', 'ReleaseRef', s.p).catch(() => {});
  }

  // After a new hello the cached objects may belong to another host run:
  // forget them without releasing (releasing could hit someone else's objects).
  function resetSteering() {
    steers.clear();
    walkTargets.clear();
    pmPromise = builderPromise = null;
  }

  // Walk-to targets: id -> {x, y, lastSent, lastHeading}.
  const walkTargets = new Map();

  function startWalk(id, x, y) {
    const i = rowOf(id);
    if (i < 0 || Math.hypot(x - world.x[i], y - world.y[i]) < ARRIVE_DISTANCE) return;
    const slider = $('speed');
    let speed = Number(slider.value);
    if (speed < 0.05) { speed = 1; slider.value = '1'; updateSpeedOut(); }
    walkTargets.set(id, { x, y, lastSent: -Infinity, lastHeading: NaN });
    steer(id, { speed });
    updateWalkTargets(performance.now());   // sends the first heading
  }

  function updateWalkTargets(now) {
    for (const [id, t] of walkTargets) {
      const i = rowOf(id);
      if (i < 0) { walkTargets.delete(id); continue; }
      const dx = t.x - world.x[i], dy = t.y - world.y[i];
      if (Math.hypot(dx, dy) < ARRIVE_DISTANCE) {
        walkTargets.delete(id);
        steer(id, { speed: 0 });
        continue;
      }
      const h = Math.atan2(dy, dx) / DEG;
      const turned = isNaN(t.lastHeading) || Math.abs(wrapDeg(h - t.lastHeading)) > WALK_MIN_TURN_DEG;
      if (turned && now - t.lastSent >= WALK_RESEND_MS) {
        t.lastSent = now; t.lastHeading = h;
        steer(id, { heading: h });
      }
    }
  }

  async function addCharacter(x, y) {
    try {
      const pm = await prefabManager();
      const p = idOf(await call('PrefabManager', 'LoadFile', pm, [prefabFile(), { x, y, z: 0 }, 0]));
      let id = 0;
      try { id = await call('Prefab', 'GetId', p); } catch (e) { /* keep going without an Id */ }
      if (typeof id === 'number' && id > 0 && !steers.has(id)) steerFor(id).p = p;  // kept for steering
      else call('Prefab', 'ReleaseRef', p).catch(() => {});
      showStatus(id ? `Added character ${id}` : 'Added a character');
    } catch (err) {
      report(err);
    }
  }

  // Calls made at most once per interval; the latest arguments win and the
  // last call of a burst is sent when the interval ends.
  function throttle(interval, fn) {
    let last = -Infinity, timer = 0, args = null;
    const fire = () => { timer = 0; last = performance.now(); const a = args; args = null; fn(...a); };
    const t = (...a) => {
      args = a;
      if (timer) return;
      const wait = last + interval - performance.now();
      if (wait <= 0) fire(); else timer = setTimeout(fire, wait);
    };
    t.cancel = () => { clearTimeout(timer); timer = 0; args = null; };
    return t;
  }

  const aimThrottle = throttle(THROTTLE_MS, (id, h) => steer(id, { heading: h }));
  const speedThrottle = throttle(THROTTLE_MS, (id, v) => steer(id, { speed: v }));

  // ---- View transform ---------------------------------------------------------

  const canvas = $('view');
  const ctx = canvas.getContext('2d');
  const view = { cx: 0, cy: 0, scale: 40, width: 0, height: 0, dpr: 1, fitted: false };
  const screen = { sx: new Float32Array(0), sy: new Float32Array(0) };

  // Canvas-local CSS pixels <-> world metres (Y up in the world, down on screen).
  const toSx = (x) => view.width / 2 + (x - view.cx) * view.scale;
  const toSy = (y) => view.height / 2 - (y - view.cy) * view.scale;
  const toWx = (sx) => view.cx + (sx - view.width / 2) / view.scale;
  const toWy = (sy) => view.cy - (sy - view.height / 2) / view.scale;

  function resize() {
    const r = canvas.getBoundingClientRect();
    view.dpr = window.devicePixelRatio || 1;
    view.width = r.width; view.height = r.height;
    canvas.width = Math.max(1, Math.round(r.width * view.dpr));
    canvas.height = Math.max(1, Math.round(r.height * view.dpr));
  }

  function fitView() {
    const n = world.count;
    if (!view.width || !view.height) return;   // not laid out yet: fit on a later frame
    view.fitted = true;
    if (!n) { view.cx = view.cy = 0; view.scale = Math.min(view.width, view.height) / 12 || 40; return; }
    let x0 = Infinity, x1 = -Infinity, y0 = Infinity, y1 = -Infinity;
    for (let i = 0; i < n; i++) {
      x0 = Math.min(x0, world.x[i]); x1 = Math.max(x1, world.x[i]);
      y0 = Math.min(y0, world.y[i]); y1 = Math.max(y1, world.y[i]);
    }
    view.cx = (x0 + x1) / 2; view.cy = (y0 + y1) / 2;
    const w = Math.max(x1 - x0, 6) + 3, h = Math.max(y1 - y0, 6) + 3;
    view.scale = clampScale(Math.min(view.width / w, view.height / h));
  }

  const clampScale = (s) => Math.min(MAX_SCALE, Math.max(MIN_SCALE, s));

  function zoomAt(sx, sy, factor) {
    const wx = toWx(sx), wy = toWy(sy);
    view.scale = clampScale(view.scale * factor);
    view.cx = wx - (sx - view.width / 2) / view.scale;
    view.cy = wy + (sy - view.height / 2) / view.scale;
  }

  // ---- Drawing ----------------------------------------------------------------

  // The smallest of 1, 2, 5, 10, 20, ... metres that is at least `min`.
  function niceStep(min) {
    let p = 1;
    for (;;) {
      for (const k of [1, 2, 5]) if (k * p >= min) return k * p;
      p *= 10;
    }
  }

  function drawGrid() {
    const s = view.scale, W = view.width, H = view.height;
    const step = niceStep(10 / s);
    let labelStep = step;
    for (const k of [1, 2, 5, 10, 20, 50]) { labelStep = step * k; if (labelStep * s >= 70) break; }
    const x0 = toWx(0), x1 = toWx(W), y0 = toWy(H), y1 = toWy(0);
    const lines = (every, style, width) => {
      ctx.beginPath();
      for (let i = Math.ceil(x0 / every); i * every <= x1; i++) {
        const x = Math.round(toSx(i * every)) + 0.5;
        ctx.moveTo(x, 0); ctx.lineTo(x, H);
      }
      for (let i = Math.ceil(y0 / every); i * every <= y1; i++) {
        const y = Math.round(toSy(i * every)) + 0.5;
        ctx.moveTo(0, y); ctx.lineTo(W, y);
      }
      ctx.strokeStyle = style; ctx.lineWidth = width; ctx.stroke();
    };
    if (step * s >= 6) lines(step, '#eceff1', 1);
    lines(labelStep, '#d5dadf', 1);
    ctx.beginPath();
    ctx.moveTo(toSx(0), 0); ctx.lineTo(toSx(0), H);
    ctx.moveTo(0, toSy(0)); ctx.lineTo(W, toSy(0));
    ctx.strokeStyle = '#adb5bd'; ctx.lineWidth = 1.5; ctx.stroke();

    ctx.fillStyle = '#868e96';
    ctx.font = '11px system-ui, sans-serif';
    ctx.textAlign = 'left'; ctx.textBaseline = 'top';
    // Metre labels along the top and left edges, clear of the corner.
    for (let i = Math.ceil(x0 / labelStep); i * labelStep <= x1; i++) {
      const x = toSx(i * labelStep);
      if (x > 40) ctx.fillText(`${i * labelStep} m`, x + 3, 3);
    }
    ctx.textBaseline = 'bottom';
    for (let i = Math.ceil(y0 / labelStep); i * labelStep <= y1; i++) {
      const y = toSy(i * labelStep);
      if (y > 30) ctx.fillText(`${i * labelStep} m`, 3, y - 2);
    }
  }

  // Trails of all characters, one path per age bucket (Path2D lets the four
  // be built in a single pass), each stroked once with its alpha. Points
  // closer than 2 px to the previous one are skipped, and the 1 px width
  // keeps the strokes on the rasteriser's fast hairline path.
  function drawTrails(now, margin) {
    const paths = TRAIL_ALPHAS.map(() => new Path2D());
    const { sx, sy } = screen;
    const W = view.width, H = view.height;
    for (let i = 0; i < world.count; i++) {
      if (sx[i] < -margin || sx[i] > W + margin || sy[i] < -margin || sy[i] > H + margin) continue;
      const rec = world.recs[i];
      let px = sx[i], py = sy[i], bucket = -1;
      for (let k = 0; k < rec.len; k++) {
        const j = (rec.head - 1 - k + TRAIL_N) % TRAIL_N;   // newest first
        const age = (now - rec.tt[j]) / 1000;
        if (age >= TRAIL_SECONDS) break;
        // (age can be slightly negative: the paint time stamp predates a late sample)
        const b = Math.max(0, Math.min(TRAIL_ALPHAS.length - 1, Math.floor(age)));
        const qx = toSx(rec.tx[j]), qy = toSy(rec.ty[j]);
        if (b === bucket && Math.abs(qx - px) + Math.abs(qy - py) < 2) continue;
        if (b !== bucket) { paths[b].moveTo(px, py); bucket = b; }
        paths[b].lineTo(qx, qy);
        px = qx; py = qy;
      }
    }
    ctx.strokeStyle = '#343a40';
    ctx.lineWidth = 1;
    paths.forEach((p, b) => { ctx.globalAlpha = TRAIL_ALPHAS[b]; ctx.stroke(p); });
    ctx.globalAlpha = 1;
  }

  function drawCharacters(now) {
    const n = world.count, s = view.scale, W = view.width, H = view.height;
    const { sx, sy } = screen;
    const r = Math.max(BODY_RADIUS * s, 2.5);
    const pad = r + 2;
    let visible = 0;
    for (let i = 0; i < n; i++) {
      sx[i] = toSx(world.x[i]); sy[i] = toSy(world.y[i]);
      if (sx[i] > -pad && sx[i] < W + pad && sy[i] > -pad && sy[i] < H + pad) visible++;
    }
    const onScreen = (i) => sx[i] > -pad && sx[i] < W + pad && sy[i] > -pad && sy[i] < H + pad;

    drawTrails(now, Math.max(150, 12 * s));
    drawContacts(now);

    // Direction lines: requested (thin, orange) and heading (dark, with a tip).
    const detailed = r >= 4;
    if (detailed) {
      const req = new Path2D(), head = new Path2D();
      const len = r + Math.max(0.35 * s, 6), reqLen = r + Math.max(0.7 * s, 10);
      for (let i = 0; i < n; i++) {
        if (!onScreen(i)) continue;
        const x = sx[i], y = sy[i];
        const ra = world.reqHeading[i] * DEG, ha = world.heading[i] * DEG;
        req.moveTo(x, y); req.lineTo(x + Math.cos(ra) * reqLen, y - Math.sin(ra) * reqLen);
        const tx = x + Math.cos(ha) * len, ty = y - Math.sin(ha) * len, tip = Math.min(6, len * 0.3);
        head.moveTo(x + Math.cos(ha) * r, y - Math.sin(ha) * r); head.lineTo(tx, ty);
        head.moveTo(tx - Math.cos(ha - 0.5) * tip, ty + Math.sin(ha - 0.5) * tip); head.lineTo(tx, ty);
        head.lineTo(tx - Math.cos(ha + 0.5) * tip, ty + Math.sin(ha + 0.5) * tip);
      }
      ctx.lineWidth = 1; ctx.strokeStyle = 'rgba(232, 89, 12, 0.85)'; ctx.stroke(req);
      ctx.lineWidth = 2; ctx.strokeStyle = '#343a40'; ctx.stroke(head);
    }

    // Bodies, one path per movement colour.
    const M = world.movements.length, start = world.bucketStart;
    ctx.lineWidth = 1;
    ctx.strokeStyle = 'rgba(33, 37, 41, 0.55)';
    for (let b = 0; b <= M && start.length; b++) {
      if (start[b] === start[b + 1]) continue;
      ctx.beginPath();
      for (let k = start[b]; k < start[b + 1]; k++) {
        const i = world.order[k];
        if (!onScreen(i)) continue;
        ctx.moveTo(sx[i] + r, sy[i]);
        ctx.arc(sx[i], sy[i], r, 0, 2 * Math.PI);
      }
      ctx.fillStyle = b < M ? world.colors[b] : NONE_COLOR;
      ctx.fill();
      if (detailed || b === M) ctx.stroke();
    }

    const sel = rowOf(ui.selectedId);
    if (sel >= 0) {
      ctx.beginPath();
      ctx.arc(sx[sel], sy[sel], r + 4, 0, 2 * Math.PI);
      ctx.strokeStyle = '#1971c2'; ctx.lineWidth = 2.5; ctx.stroke();
    }

    // Movement labels: all when zoomed in and not too many, else the selected one.
    ctx.font = '11px system-ui, sans-serif';
    ctx.textAlign = 'center'; ctx.textBaseline = 'top';
    ctx.fillStyle = '#343a40';
    const label = (i, text) => ctx.fillText(text, sx[i], sy[i] + r + 3);
    if (s >= LABEL_MIN_SCALE && visible <= LABEL_MAX_COUNT) {
      for (let i = 0; i < n; i++) {
        if (i !== sel && onScreen(i) && world.movement[i] >= 0) label(i, world.movements[world.movement[i]]);
      }
    }
    if (sel >= 0) {
      const m = world.movement[sel];
      ctx.font = '600 12px system-ui, sans-serif';
      ctx.fillStyle = '#1864ab';
      label(sel, `#${ui.selectedId} ${m >= 0 ? world.movements[m] : 'standby'}`);
    }
  }

  // Foot contact marks of the selected character, fading out.
  const contactMarks = [];
  function drawContacts(now) {
    while (contactMarks.length && now - contactMarks[0].t > CONTACT_SECONDS * 1000) contactMarks.shift();
    const half = Math.max(0.06 * view.scale, 2.5);
    ctx.fillStyle = '#1971c2';
    for (const c of contactMarks) {
      ctx.globalAlpha = Math.min(1, 1 - (now - c.t) / (CONTACT_SECONDS * 1000));
      ctx.fillRect(toSx(c.x) - half, toSy(c.y) - half, 2 * half, 2 * half);
    }
    ctx.globalAlpha = 1;
  }

  function drawOverlays() {
    const s = view.scale;
    for (const [id, t] of walkTargets) {
      const i = rowOf(id);
      const x = toSx(t.x), y = toSy(t.y), r = Math.max(0.25 * s, 6);
      ctx.beginPath();
      if (i >= 0) { ctx.moveTo(screen.sx[i], screen.sy[i]); ctx.lineTo(x, y); }
      ctx.moveTo(x - r, y); ctx.lineTo(x + r, y); ctx.moveTo(x, y - r); ctx.lineTo(x, y + r);
      ctx.moveTo(x + r * 0.7, y); ctx.arc(x, y, r * 0.7, 0, 2 * Math.PI);
      ctx.setLineDash([4, 3]); ctx.strokeStyle = '#2f9e44'; ctx.lineWidth = 1.5; ctx.stroke();
      ctx.setLineDash([]);
    }
    if (drag && drag.kind === 'aim' && drag.moved) {
      const i = rowOf(drag.id);
      if (i >= 0) {
        ctx.beginPath();
        ctx.moveTo(screen.sx[i], screen.sy[i]); ctx.lineTo(pointer.x, pointer.y);
        ctx.setLineDash([6, 4]); ctx.strokeStyle = '#1971c2'; ctx.lineWidth = 2; ctx.stroke();
        ctx.setLineDash([]);
      }
    }
    if (ui.addMode && pointer.inside) {
      ctx.beginPath();
      ctx.arc(pointer.x, pointer.y, Math.max(BODY_RADIUS * s, 4), 0, 2 * Math.PI);
      ctx.globalAlpha = 0.4; ctx.fillStyle = '#2f9e44'; ctx.fill(); ctx.globalAlpha = 1;
    }
  }

  function paint(now) {
    ctx.setTransform(view.dpr, 0, 0, view.dpr, 0, 0);
    ctx.fillStyle = '#f8f9fa';
    ctx.fillRect(0, 0, view.width, view.height);
    drawGrid();
    drawCharacters(now);
    drawOverlays();
  }

  function frameLoop(now) {
    requestAnimationFrame(frameLoop);   // first, so one bad paint does not stop the view
    stats.paints++;
    const elapsed = now - stats.since;
    if (elapsed >= 1000) {
      stats.fps = Math.round(stats.paints * 1000 / elapsed);
      stats.updatesPerSecond = Math.round(stats.updates * 1000 / elapsed);
      stats.bytesPerSecond = Math.round(stats.bytes * 1000 / elapsed);
      stats.paints = stats.updates = stats.bytes = 0;
      stats.since = now;
      renderHeader();
    }
    paint(now);
    if (ui.panelDirty) renderPanel();
  }

  // ---- Mouse and keyboard -----------------------------------------------------

  const pointer = { x: 0, y: 0, inside: false };
  let drag = null;   // {kind: 'pan' | 'aim' | 'ground', id, startX, startY, lastX, lastY, moved, heading}

  function local(e) {
    const r = canvas.getBoundingClientRect();
    return { x: e.clientX - r.left, y: e.clientY - r.top };
  }

  // Row of the character under a canvas-local point, or -1.
  function characterAt(px, py) {
    const wx = toWx(px), wy = toWy(py);
    const reach = Math.max(BODY_RADIUS * 1.15, 7 / view.scale);
    let best = -1, bestD = reach * reach;
    for (let i = 0; i < world.count; i++) {
      const dx = world.x[i] - wx, dy = world.y[i] - wy, d = dx * dx + dy * dy;
      if (d <= bestD) { bestD = d; best = i; }
    }
    return best;
  }

  function headingToPointer(id) {
    const i = rowOf(id);
    if (i < 0) return null;
    return Math.atan2(toWy(pointer.y) - world.y[i], toWx(pointer.x) - world.x[i]) / DEG;
  }

  canvas.addEventListener('mousedown', (e) => {
    const p = local(e);
    pointer.x = p.x; pointer.y = p.y;
    const base = { startX: p.x, startY: p.y, lastX: p.x, lastY: p.y, moved: false };
    if (e.button === 1 || e.button === 2 || (e.button === 0 && e.shiftKey)) {
      drag = { kind: 'pan', ...base };
    } else if (e.button === 0) {
      const i = characterAt(p.x, p.y);
      if (i >= 0) {
        const id = world.ids[i];
        select(id);
        drag = { kind: 'aim', id, heading: null, ...base };
      } else {
        drag = { kind: 'ground', ...base };
      }
    } else {
      return;
    }
    e.preventDefault();
  });

  window.addEventListener('mousemove', (e) => {
    const p = local(e);
    pointer.x = p.x; pointer.y = p.y;
    pointer.inside = p.x >= 0 && p.y >= 0 && p.x <= view.width && p.y <= view.height;
    if (!drag) {
      if (pointer.inside) canvas.className = ui.addMode ? 'add' : characterAt(p.x, p.y) >= 0 ? 'hover' : '';
      return;
    }
    if (!drag.moved && Math.hypot(p.x - drag.startX, p.y - drag.startY) > CLICK_SLOP_PX) {
      drag.moved = true;
      if (drag.kind === 'ground') drag.kind = 'pan';   // a left drag on the ground pans too
      if (drag.kind === 'aim') walkTargets.delete(drag.id);
      canvas.className = drag.kind === 'pan' ? 'pan' : 'aim';
    }
    if (drag.kind === 'pan') {
      view.cx -= (p.x - drag.lastX) / view.scale;
      view.cy += (p.y - drag.lastY) / view.scale;
    } else if (drag.kind === 'aim' && drag.moved) {
      const h = headingToPointer(drag.id);
      if (h !== null) { drag.heading = h; aimThrottle(drag.id, h); }
    }
    drag.lastX = p.x; drag.lastY = p.y;
  });

  window.addEventListener('mouseup', (e) => {
    if (!drag) return;
    const d = drag;
    drag = null;
    canvas.className = ui.addMode ? 'add' : '';
    const p = local(e);
    pointer.x = p.x; pointer.y = p.y;
    if (d.kind === 'aim' && d.moved) {
      aimThrottle.cancel();
      const h = headingToPointer(d.id);
      if (h !== null) steer(d.id, { heading: h });
    } else if (d.kind === 'ground' && !d.moved && e.button === 0) {
      groundClick(toWx(p.x), toWy(p.y));
    }
  });

  canvas.addEventListener('mouseleave', () => { pointer.inside = false; });
  canvas.addEventListener('contextmenu', (e) => e.preventDefault());
  canvas.addEventListener('wheel', (e) => {
    e.preventDefault();
    const p = local(e);
    const delta = e.deltaMode === 1 ? e.deltaY * 16 : e.deltaY;
    zoomAt(p.x, p.y, Math.exp(-delta * 0.0015));
  }, { passive: false });

  function groundClick(wx, wy) {
    if (ui.addMode) { setAddMode(false); addCharacter(wx, wy); return; }
    if (ui.selectedId) startWalk(ui.selectedId, wx, wy);
  }

  window.addEventListener('keydown', (e) => {
    if (e.key === 'Escape') {
      if (drag && drag.kind === 'aim') { aimThrottle.cancel(); drag = null; }
      else if (ui.addMode) setAddMode(false);
      else select(0);
    } else if (e.key === 'f' || e.key === 'F') {
      fitView();
    }
  });

  // ---- Selection, panel and header ----------------------------------------------

  const ui = { selectedId: 0, addMode: false, panelDirty: true, contacts: [], contactsDirty: true };

  function select(id) {
    if (id === ui.selectedId) return;
    ui.selectedId = id;
    world.selected = null;
    ui.contacts.length = 0;
    contactMarks.length = 0;
    ui.contactsDirty = ui.panelDirty = true;
    const i = rowOf(id);
    $('speed').value = String(i >= 0 ? world.speed[i] : 1);
    updateSpeedOut();
    if (net.viewId !== null) call('GaitViewRpc', 'Select', net.viewId, [id]).catch(report);
  }

  function addContacts(list, now) {
    for (const c of list) {
      ui.contacts.push(c);
      if (c.Position) contactMarks.push({ x: c.Position.x, y: c.Position.y, t: now });
    }
    if (ui.contacts.length > 10) ui.contacts.splice(0, ui.contacts.length - 10);
    ui.contactsDirty = true;
  }

  function setAddMode(on) {
    ui.addMode = on;
    $('add').setAttribute('aria-pressed', String(on));
    canvas.className = on ? 'add' : '';
    if (on) showStatus('Click on the ground to place a character');
  }

  function updateSpeedOut() { $('speed-out').textContent = Number($('speed').value).toFixed(2); }

  function buildLegend() {
    const ul = $('legend');
    ul.textContent = '';
    const names = world.movements.concat(['none']);
    names.forEach((name, b) => {
      const li = document.createElement('li');
      const swatch = document.createElement('i');
      swatch.style.background = b < world.movements.length ? world.colors[b] : NONE_COLOR;
      const count = document.createElement('small');
      li.append(swatch, name, count);
      ul.append(li);
    });
  }

  const weightRows = [];
  function buildWeights() {
    const box = $('weights');
    box.textContent = '';
    weightRows.length = 0;
    world.movements.forEach((name, k) => {
      const row = document.createElement('div');
      row.className = 'weight';
      const label = document.createElement('span');
      label.textContent = name;
      const bar = document.createElement('span');
      bar.className = 'bar';
      const fill = document.createElement('i');
      fill.style.background = world.colors[k];
      bar.append(fill);
      const value = document.createElement('span');
      row.append(label, bar, value);
      box.append(row);
      weightRows.push({ row, fill, value, shown: true });
    });
  }

  const fmt = (v, digits = 1, unit = '') => (typeof v === 'number' && isFinite(v) ? v.toFixed(digits) + unit : '\u2013');
  const yesNo = (b) => (b === undefined ? '\u2013' : b ? 'yes' : 'no');

  function renderPanel() {
    ui.panelDirty = false;
    const id = ui.selectedId, i = rowOf(id), sel = world.selected;
    const has = id !== 0;
    $('sel-id').textContent = has ? `#${id}` : '\u2013';
    $('sel-none').hidden = has;
    for (const b of ['speed', 'stop', 'deselect']) $(b).disabled = !has;
    const row = i >= 0;
    const m = row ? world.movement[i] : -1;
    const movement = sel ? sel.Movement : row && m >= 0 ? world.movements[m] : null;
    $('f-movement').textContent = has ? (movement || 'standby') : '\u2013';
    $('f-speed').textContent = fmt(sel ? sel.Speed : row ? world.speed[i] : undefined, 2);
    $('f-req').textContent = fmt(sel ? sel.RequestedHeading : row ? world.reqHeading[i] : undefined, 1, '\u00b0');
    $('f-heading').textContent = fmt(sel ? sel.Heading : row ? world.heading[i] : undefined, 1, '\u00b0');
    $('f-error').textContent = fmt(sel ? sel.HeadingError
      : row ? wrapDeg(world.reqHeading[i] - world.heading[i]) : undefined, 1, '\u00b0');
    $('f-arrived').textContent = yesNo(sel ? sel.Arrived : row ? !!(world.flags[i] & FLAG_ARRIVED) : undefined);
    $('f-active').textContent = yesNo(sel ? sel.Active : row ? !!(world.flags[i] & FLAG_ACTIVE) : undefined);
    $('f-pos').textContent = row ? `${fmt(world.x[i], 2)}, ${fmt(world.y[i], 2)} m` : '\u2013';

    const showAll = $('all-weights').checked;
    const weights = sel && Array.isArray(sel.Weights) ? sel.Weights : null;
    weightRows.forEach((r, k) => {
      const w = weights ? Number(weights[k]) || 0 : 0;
      const show = has && (showAll || w > 0.001);
      if (show !== r.shown) { r.row.hidden = !show; r.shown = show; }
      if (show) { r.fill.style.width = `${Math.min(1, w) * 100}%`; r.value.textContent = w.toFixed(2); }
    });

    if (ui.contactsDirty) {
      ui.contactsDirty = false;
      const ol = $('contacts');
      ol.textContent = '';
      for (let k = ui.contacts.length - 1; k >= 0; k--) {
        const c = ui.contacts[k], li = document.createElement('li');
        const pos = c.Position ? ` at ${fmt(c.Position.x, 2)}, ${fmt(c.Position.y, 2)}` : '';
        li.textContent = `${c.Movement} frame ${c.Frame}${pos} (${c.TimeMs} ms)`;
        ol.append(li);
      }
    }
  }

  function renderHeader() {
    $('count').textContent = world.count;
    $('fps').textContent = stats.fps;
    $('ups').textContent = stats.updatesPerSecond;
    $('kbps').textContent = (stats.bytesPerSecond / 1000).toFixed(1);
    const items = $('legend').children, start = world.bucketStart;
    for (let b = 0; b < items.length && b + 1 < start.length; b++) {
      items[b].lastChild.textContent = String(start[b + 1] - start[b]);
    }
  }

  // ---- Controls -------------------------------------------------------------------

  $('speed').addEventListener('input', () => {
    updateSpeedOut();
    const id = ui.selectedId;
    if (!id) return;
    const v = Number($('speed').value);
    if (v < 0.05) walkTargets.delete(id);   // a speed of 0 ends a walk-to
    speedThrottle(id, v);
  });
  $('stop').addEventListener('click', () => {
    const id = ui.selectedId;
    if (!id) return;
    walkTargets.delete(id);
    speedThrottle.cancel();
    $('speed').value = '0'; updateSpeedOut();
    steer(id, { speed: 0 });
  });
  $('deselect').addEventListener('click', () => select(0));
  $('add').addEventListener('click', () => setAddMode(!ui.addMode));
  $('fit').addEventListener('click', fitView);
  $('all-weights').addEventListener('change', () => { ui.panelDirty = true; });
  $('rate').addEventListener('change', () => {
    if (net.viewId !== null) call('GaitViewRpc', 'Subscribe', net.viewId, [period()]).catch(report);
  });

  // When the page goes: end the subscription and give back the objects held.
  window.addEventListener('pagehide', () => {
    net.unloading = true;
    if (net.viewId !== null) call('GaitViewRpc', 'Unsubscribe', net.viewId, [], false).catch(() => {});
    for (const id of Array.from(steers.keys())) dropSteer(id);
  });

  // ---- Hooks for the automated browser test ----------------------------------------

  window.tarnView = {
    get connected() { return net.connected; },
    get frames() { return world.frames; },
    characters() {
      const out = [];
      for (let i = 0; i < world.count; i++) {
        const m = world.movement[i];
        out.push({
          id: world.ids[i], x: world.x[i], y: world.y[i],
          heading: world.heading[i], requestedHeading: world.reqHeading[i],
          movement: m >= 0 ? world.movements[m] : null, speed: world.speed[i],
          arrived: !!(world.flags[i] & FLAG_ARRIVED), active: !!(world.flags[i] & FLAG_ACTIVE),
        });
      }
      return out;
    },
    get selectedId() { return ui.selectedId; },
    get lastError() { return net.lastError; },
    get fps() { return stats.fps; },
    get updatesPerSecond() { return stats.updatesPerSecond; },
    get bytesPerSecond() { return stats.bytesPerSecond; },
    worldToScreen(x, y) {
      const r = canvas.getBoundingClientRect();
      return { x: r.left + toSx(x), y: r.top + toSy(y) };
    },
    screenToWorld(cx, cy) {
      const r = canvas.getBoundingClientRect();
      return { x: toWx(cx - r.left), y: toWy(cy - r.top) };
    },
    get pending() { return net.pending; },
    get walkTargets() { return walkTargets.size; },
  };

  // ---- Start ------------------------------------------------------------------------

  ensureCapacity(64);
  new ResizeObserver(resize).observe(canvas);
  resize();
  view.scale = Math.min(view.width, view.height) / 12 || 40;
  openStream();
  requestAnimationFrame(frameLoop);
})();
