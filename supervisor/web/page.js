'use strict';
// The supervisor's live page: polls /api/v1/cards and /api/v1/flows, derives
// rates from successive totals, and renders only the rows of the current
// page. A card of 65,535 flows costs a parse, one pass and a selection per
// poll, all in a worker, and a hundred rows of DOM.
(() => {
  const POLL_MS = 1000;          // from the end of one poll to the start of the next
  const FETCH_TIMEOUT_MS = 20000;
  const CHART_WINDOW_MS = 5 * 60 * 1000;
  const CHART_KEEP = 8;          // flows whose history is kept after another is chosen
  const COLUMNS = ['slot', 'type', 'vsan', 'sid', 'did', 'name', 'status', 'frames', 'bytes', 'fps', 'bps'];

  const $ = (id) => document.getElementById(id);
  const ui = {
    status: $('status'), cards: $('cards'), count: $('flow-count'), summary: $('flow-summary'),
    table: $('flows'), rows: $('flow-rows'), pageInfo: $('page-info'), pageSize: $('page-size'),
    fSlot: $('f-slot'), fType: $('f-type'), fVsan: $('f-vsan'), filters: $('filters'),
    chart: $('chart'), chartTitle: $('chart-title'), chartMetric: $('chart-metric'), chartValue: $('chart-value'),
  };

  const state = {
    filter: { slots: [], type: '', vsan: '' },
    generation: 0,          // bumped by a filter change: older answers are dropped
    view: null,             // the model's last view: the rows shown and the counts
    viewSeq: 0,             // the request it answered (older answers are dropped)
    sort: { col: 'fps', dir: -1 },
    page: 0,
    pageSize: 100,
    selected: null,
    history: new Map(),     // key -> [{t, fps, bps}], chosen flows only
    titles: new Map(),      // key -> the chosen flow as the chart names it
    timer: 0,
    delay: POLL_MS,
  };

  // ---- numbers

  function grouped(v) {
    return String(v).replace(/\B(?=(\d{3})+(?!\d))/g, ',');
  }
  function rate(v) {
    if (Number.isNaN(v)) return '–';
    if (v >= 1e6) return (v / 1e6).toFixed(2) + ' M';
    if (v >= 1e4) return (v / 1e3).toFixed(1) + ' k';
    return v.toFixed(1);
  }
  function axis(v) {
    if (v >= 1e6) return +(v / 1e6).toFixed(2) + ' M';
    if (v >= 1e3) return +(v / 1e3).toFixed(2) + ' k';
    return String(+v.toFixed(2));
  }
  function hhmmss(d) {
    return d.toTimeString().slice(0, 8);
  }

  // ---- fetching

  async function get(url, asBytes) {
    const abort = new AbortController();
    const timer = setTimeout(() => abort.abort(), FETCH_TIMEOUT_MS);
    try {
      const res = await fetch(url, { cache: 'no-store', signal: abort.signal });
      const at = performance.now();
      const body = asBytes && res.ok ? await res.arrayBuffer() : await res.text();
      if (!res.ok) {
        const text = body;
        let why = text.trim();
        try {
          const body = JSON.parse(text);
          why = (body.error && body.error.message) || why;
        } catch (_) { /* not JSON: the text itself */ }
        throw new Error(`${url}: HTTP ${res.status}${why ? ': ' + why : ''}`);
      }
      return { body, at };
    } catch (e) {
      throw new Error(e.name === 'AbortError' ? `${url}: no answer in ${FETCH_TIMEOUT_MS / 1000} s` :
        e.message.startsWith(url) ? e.message : `supervisor unreachable (${e.message})`);
    } finally {
      clearTimeout(timer);
    }
  }

  function flowsUrl() {
    const q = new URLSearchParams();
    for (const s of state.filter.slots) q.append('slot', s);
    if (state.filter.type) q.set('type', state.filter.type);
    if (state.filter.vsan) q.set('vsan', state.filter.vsan);
    const qs = q.toString();
    return 'api/v1/flows' + (qs ? '?' + qs : '');
  }

  async function poll() {
    clearTimeout(state.timer);
    const generation = state.generation;
    const started = performance.now();
    const errors = [];
    const [cards, flows] = await Promise.allSettled([get('api/v1/cards', false), get(flowsUrl(), true)]);
    let flowCards = [];
    try {
      if (flows.status === 'fulfilled') {
        if (generation === state.generation) {
          const body = flows.value.body;
          const v = await ask({ body, at: flows.value.at, view: viewRequest() }, [body]);
          if (v.error) {
            errors.push(v.error);
          } else {
            flowCards = v.cards;
            recordHistory(v.watched);
            showView(v);
          }
        }
      } else {
        errors.push(flows.reason.message);
      }
      // Rows of an older answer stay, dimmed, until a new one comes.
      ui.table.classList.toggle('stale', flows.status !== 'fulfilled');
      if (cards.status === 'fulfilled') {
        renderCards(JSON.parse(cards.value.body).cards || [], flowCards);
      } else {
        errors.push(cards.reason.message);
      }
    } catch (e) {
      errors.push(String((e && e.message) || e));
    }
    showStatus(errors, performance.now() - started);
    // While the supervisor does not answer, ask less often (up to 10 s). A
    // large answer costs the model a core for a while: leave it idle twice
    // as long.
    const busy = performance.now() - (flows.status === 'fulfilled' ? flows.value.at : started);
    state.delay = errors.length ? Math.min(10000, state.delay * 2) : Math.max(POLL_MS, 2 * busy);
    // A change of filter while this poll ran has started its own.
    if (generation === state.generation) {
      state.timer = setTimeout(poll, state.delay);
    }
  }

  // ---- the model's thread

  let seq = 0;
  const waiting = new Map(); // request -> its resolve
  function settle(reply) {
    const resolve = waiting.get(reply.seq);
    waiting.delete(reply.seq);
    if (resolve) resolve(reply);
  }
  // A worker from the model's own source; where workers are refused (also
  // later, by a policy of the page's origin), the same model on the page's
  // thread.
  function inThread() {
    const handle = model(settle);
    return (msg) => setTimeout(() => handle(msg), 0);
  }
  let send;
  try {
    const source = `'use strict'; const handle = (${model})((m) => postMessage(m)); onmessage = (e) => handle(e.data);`;
    const worker = new Worker(URL.createObjectURL(new Blob([source], { type: 'text/javascript' })));
    worker.onmessage = (e) => settle(e.data);
    worker.onerror = (e) => {
      e.preventDefault();
      send = inThread();
      for (const s of [...waiting.keys()]) settle({ seq: s, error: `the page's worker failed: ${e.message}` });
    };
    send = (msg, transfer) => worker.postMessage(msg, transfer);
  } catch (_) {
    send = inThread();
  }
  function ask(msg, transfer) {
    msg.seq = ++seq;
    return new Promise((resolve) => {
      waiting.set(msg.seq, resolve);
      send(msg, transfer || []);
    });
  }

  function viewRequest() {
    return { sort: state.sort, page: state.page, pageSize: state.pageSize, watch: [...state.history.keys()] };
  }

  // The table again after a change of page, order or page size.
  async function refreshView() {
    const v = await ask({ view: viewRequest() });
    if (v.error) showStatus([v.error], 0);
    else showView(v);
  }

  function showView(v) {
    if (v.seq < state.viewSeq) return;
    state.viewSeq = v.seq;
    state.view = v;
    state.page = v.page;
    renderFlows();
    drawChart();
    markShown(v.count);
  }

  // When a view's rows reach the screen (the frame that paints them), for
  // measurements from outside: one mark, replaced by the next view.
  function markShown(count) {
    requestAnimationFrame(() => {
      performance.clearMarks('flows-shown');
      performance.mark('flows-shown', { detail: { count } });
    });
  }

  function showStatus(errors, ms) {
    const unique = [...new Set(errors)];
    if (unique.length) {
      ui.status.dataset.state = 'error';
      ui.status.textContent = unique.join('; ');
    } else {
      ui.status.dataset.state = 'ok';
      ui.status.textContent = `updated ${hhmmss(new Date())} (${Math.round(ms)} ms)`;
    }
  }

  // ---- the model: the last answer, its rates and its order. It runs in a
  // worker, so that the parse of a large answer never holds the page; the
  // page gets only the rows it shows. Self-contained: its source is the
  // worker's.
  function model(post) {
    const TYPE_RANK = { vsan: 0, domain: 1, exact: 2 };
    const STATUS_RANK = { applied: 0, pending: 1, refused: 2, unconfigured: 3 };
    const state = {
      flows: [],              // the last answer's rows, in the server's order
      at: 0,                  // when the last answer came (performance.now())
      fps: new Float64Array(0), // per row of flows: rates (NaN: none), and resets seen
      bps: new Float64Array(0),
      reset: new Uint8Array(0),
      order: new Uint32Array(0),
      hints: new Map(),       // a watched flow's key -> its row in the last answer
    };

    // Totals above 2^53 would lose digits in JSON.parse: they are kept as text
    // (the only numbers of that size in the answer are frames and bytes). Such
    // totals are rare, so the answer is parsed again only when one is seen.
    const BIG = /"(frames|bytes)"\s*:\s*(\d{16,})/g;
    function parseFlows(text) {
      const data = JSON.parse(text);
      const flows = data.flows || [];
      for (let i = 0; i < flows.length; i++) {
        if (!Number.isSafeInteger(flows[i].frames) || !Number.isSafeInteger(flows[i].bytes)) {
          return JSON.parse(text.replace(BIG, '"$1":"$2"'));
        }
      }
      return data;
    }
    function minus(a, b) {
      return typeof a === 'number' && typeof b === 'number' ? a - b : Number(BigInt(a) - BigInt(b));
    }
    // ---- rates

    function flowKey(f) {
      return f.slot + ' ' + f.type + ' ' + f.vsan + ' ' + f.sid + ' ' + f.did;
    }

    function sameFlow(a, b) {
      return a.slot === b.slot && a.counter === b.counter && a.vsan === b.vsan && a.type === b.type &&
        a.sid === b.sid && a.did === b.did;
    }

    // One pass over the answer: each flow's rates against its row in the
    // previous answer. The server's order is stable, so that row is nearly
    // always at the same position; a flow that moved is found by its slot and
    // counter, with an index built only then. Derived values live in typed
    // arrays beside the parsed rows rather than on them. No rate when there
    // is nothing true to say: a new flow, a counter re-created, a total gone
    // down (a reset or a clear), or an incomplete total on either side.
    function ingest(flows, at) {
      const n = flows.length;
      const prev = state.flows;
      const dt = (at - state.at) / 1000;
      const fps = new Float64Array(n).fill(NaN);
      const bps = new Float64Array(n).fill(NaN);
      const reset = new Uint8Array(n);
      let moved = null;
      for (let i = 0; i < n; i++) {
        const f = flows[i];
        if (f.counter === null || !f.complete || !(dt > 0)) continue;
        let p = prev[i];
        if (!p || !sameFlow(p, f)) {
          if (!moved) {
            moved = new Map();
            for (let j = 0; j < prev.length; j++) {
              if (prev[j].counter !== null) moved.set(prev[j].slot * 65536 + prev[j].counter, j);
            }
          }
          p = prev[moved.get(f.slot * 65536 + f.counter)];
          if (!p || !sameFlow(p, f)) continue;
        }
        if (!p.complete) continue;
        const df = minus(f.frames, p.frames);
        const db = minus(f.bytes, p.bytes);
        if (df < 0 || db < 0) {
          reset[i] = 1;
        } else {
          fps[i] = df / dt;
          bps[i] = db / dt;
        }
      }
      state.flows = flows;
      state.at = at;
      state.fps = fps;
      state.bps = bps;
      state.reset = reset;
    }

    // The row of a chosen flow in the current answer: where it was last time,
    // or a scan.
    function findFlow(key, hint) {
      const flows = state.flows;
      if (hint >= 0 && hint < flows.length && flowKey(flows[hint]) === key) return hint;
      for (let i = 0; i < flows.length; i++) if (flowKey(flows[i]) === key) return i;
      return -1;
    }

    // ---- ordering

    function sortKey(i, col) {
      const f = state.flows[i];
      switch (col) {
        case 'pos': return i;
        case 'type': return TYPE_RANK[f.type];
        case 'vsan': return f.vsan;
        case 'sid': return parseInt(f.sid, 16);
        case 'did': return parseInt(f.did, 16);
        case 'status': return STATUS_RANK[f.status] ?? 9;
        case 'frames': return Number(f.frames);
        case 'bytes': return Number(f.bytes);
        case 'fps': return state.fps[i];
        case 'bps': return state.bps[i];
      }
      return 0;
    }

    // The rows of the current page in order, without sorting the others: a
    // selection brings the page's ranks into place (linear on average), then
    // only the page is sorted. Ties keep the server's order; flows without a
    // value (no rate yet) come last either way.
    function order(sort, from, size) {
      const flows = state.flows;
      const n = flows.length;
      const lo = Math.min(from, n);
      const hi = Math.min(lo + size, n);
      const idx = state.order.length === n ? state.order : new Uint32Array(n);
      for (let i = 0; i < n; i++) idx[i] = i;
      state.order = idx;
      const { col, dir } = sort;
      if (col === 'name') {
        const names = flows.map((f) => f.name || '\uffff');
        idx.sort((a, b) => (names[a] < names[b] ? -dir : names[a] > names[b] ? dir : a - b));
        return idx.subarray(lo, hi);
      }
      const keys = new Float64Array(n);
      for (let i = 0; i < n; i++) {
        const v = sortKey(i, col);
        keys[i] = Number.isNaN(v) ? Infinity : dir * v;
      }
      const less = (a, b) => keys[a] < keys[b] || (keys[a] === keys[b] && a < b);
      if (n > 0 && lo < hi) {
        select(idx, 0, n - 1, lo, less);
        select(idx, lo, n - 1, hi - 1, less);
      }
      const page = idx.subarray(lo, hi);
      page.sort((a, b) => (less(a, b) ? -1 : 1));
      return page;
    }

    // Rearranges idx[left..right] so that idx[k] holds the element of that rank
    // and everything before it is less (Hoare's selection, median of three).
    function select(idx, left, right, k, less) {
      while (right > left) {
        const mid = (left + right) >>> 1;
        if (less(idx[mid], idx[left])) swap(idx, mid, left);
        if (less(idx[right], idx[left])) swap(idx, right, left);
        if (less(idx[right], idx[mid])) swap(idx, right, mid);
        const pivot = idx[mid];
        let i = left;
        let j = right;
        while (i <= j) {
          while (less(idx[i], pivot)) i++;
          while (less(pivot, idx[j])) j--;
          if (i <= j) {
            swap(idx, i, j);
            i++;
            j--;
          }
        }
        if (k <= j) right = j;
        else if (k >= i) left = i;
        else return;
      }
    }
    function swap(a, i, j) {
      const t = a[i];
      a[i] = a[j];
      a[j] = t;
    }

    // The rows of a view: the page asked for, clamped to the rows there are.
    function view(v) {
      const n = state.flows.length;
      const pages = Math.max(1, Math.ceil(n / v.pageSize));
      const page = Math.min(v.page, pages - 1);
      const rows = Array.from(order(v.sort, page * v.pageSize, v.pageSize), row);
      let refused = 0;
      let pending = 0;
      let incomplete = 0;
      for (let i = 0; i < n; i++) {
        const f = state.flows[i];
        if (f.status === 'refused') refused++;
        else if (f.status === 'pending') pending++;
        if (f.counter !== null && !f.complete) incomplete++;
      }
      return { count: n, page, pages, first: page * v.pageSize, rows, refused, pending, incomplete };
    }

    function row(i) {
      const f = state.flows[i];
      return Object.assign({}, f, { key: flowKey(f), fps: state.fps[i], bps: state.bps[i], reset: state.reset[i] === 1 });
    }

    // The watched flows' rates in this answer (null: not in it).
    function watched(keys) {
      const hints = new Map();
      const out = keys.map((key) => {
        const i = findFlow(key, state.hints.has(key) ? state.hints.get(key) : -1);
        hints.set(key, i);
        return i < 0 ? null : { key, fps: state.fps[i], bps: state.bps[i] };
      });
      state.hints = hints;
      return out;
    }

    return (msg) => {
      try {
        const reply = { seq: msg.seq };
        if (msg.body) {
          const data = parseFlows(new TextDecoder().decode(msg.body));
          ingest(data.flows || [], msg.at);
          reply.cards = data.cards || [];
          reply.watched = watched(msg.view.watch);
        }
        post(Object.assign(reply, view(msg.view)));
      } catch (e) {
        post({ seq: msg.seq, error: String((e && e.message) || e) });
      }
    };
  }

  // ---- the table

  function ensureRows(count) {
    const body = ui.rows;
    while (body.rows.length < count) {
      const tr = body.insertRow();
      for (const col of COLUMNS) {
        const td = tr.insertCell();
        td.dataset.col = col;
        if (col === 'vsan' || col === 'frames' || col === 'bytes' || col === 'fps' || col === 'bps') td.className = 'num';
      }
    }
    while (body.rows.length > count) body.deleteRow(-1);
  }

  function setCell(td, text) {
    if (td.textContent !== text) td.textContent = text;
  }

  function fcid(f, id) {
    if (f.type === 'vsan') return '-';
    return f.type === 'domain' ? id.slice(0, 4) + 'xxxx' : id;
  }

  // The card's reason by name where the answer has it (flowctl's JSON),
  // else its status code as flowctl prints it.
  function refusal(f) {
    if (f.refusal) return `: ${f.refusal}`;
    return f.code ? ` (0x${(f.code >>> 0).toString(16).padStart(8, '0')})` : '';
  }

  function total(td, v, f) {
    if (f.counter === null) {
      setCell(td, '-');
    } else {
      setCell(td, grouped(v) + (f.complete ? '' : '+'));
    }
    td.classList.toggle('incomplete', f.counter !== null && !f.complete);
  }

  function renderFlows() {
    const v = state.view;
    if (!v) return;
    const n = v.count;
    ensureRows(state.pageSize);
    const rows = ui.rows.rows;
    for (let r = 0; r < rows.length; r++) {
      const tr = rows[r];
      if (r >= v.rows.length) {
        tr.hidden = true;
        delete tr.dataset.key;
        continue;
      }
      const f = v.rows[r];
      const key = f.key;
      const fps = f.fps;
      const bps = f.bps;
      const reset = f.reset;
      tr.hidden = false;
      tr.dataset.key = key;
      tr.dataset.slot = f.slot;
      tr.dataset.status = f.status;
      tr.dataset.fps = Number.isNaN(fps) ? '' : String(fps);
      tr.dataset.bps = Number.isNaN(bps) ? '' : String(bps);
      tr.className = f.status + (reset ? ' reset' : '') + (key === state.selected ? ' selected' : '');
      const c = tr.cells;
      setCell(c[0], String(f.slot));
      setCell(c[1], f.type);
      setCell(c[2], String(f.vsan));
      setCell(c[3], fcid(f, f.sid));
      setCell(c[4], fcid(f, f.did));
      setCell(c[5], f.name || '');
      setCell(c[6], f.status === 'refused' ? `refused${refusal(f)}` : f.status);
      total(c[7], f.frames, f);
      total(c[8], f.bytes, f);
      setCell(c[9], reset ? 'reset' : rate(fps));
      setCell(c[10], reset ? 'reset' : rate(bps));
    }
    const { refused, pending, incomplete } = v;
    ui.count.dataset.count = String(n);
    ui.count.textContent = `${grouped(n)} flow${n === 1 ? '' : 's'}`;
    const marks = [];
    if (refused) marks.push(`<span class="tag refused" data-mark="refused">${refused} refused</span>`);
    if (pending) marks.push(`<span class="tag pending" data-mark="pending">${pending} pending</span>`);
    if (incomplete) marks.push(`<span class="tag refused" data-mark="incomplete">${incomplete} incomplete +</span>`);
    const summary = marks.join(' ');
    if (ui.summary.innerHTML !== summary) ui.summary.innerHTML = summary;
    ui.pageInfo.textContent = `${grouped(n ? v.first + 1 : 0)}–${grouped(v.first + v.rows.length)} of ${grouped(n)} · page ${v.page + 1}/${v.pages}`;
    for (const th of document.querySelectorAll('#flows th')) {
      const on = th.dataset.sort === state.sort.col;
      th.classList.toggle('sorted', on);
      th.classList.toggle('asc', on && state.sort.dir > 0);
      th.classList.toggle('desc', on && state.sort.dir < 0);
    }
  }

  // ---- cards

  function el(tag, cls, text) {
    const e = document.createElement(tag);
    if (cls) e.className = cls;
    if (text !== undefined) e.textContent = text;
    return e;
  }

  function renderCards(cards, flowCards) {
    const shown = new Map(flowCards.map((c) => [c.slot, c]));
    const frag = document.createDocumentFragment();
    for (const c of cards) {
      const div = el('div', 'card');
      div.id = `card-${c.slot}`;
      div.dataset.slot = c.slot;
      div.dataset.state = c.state;
      const head = el('div', 'head');
      head.append(el('span', '', `slot ${c.slot}`), el('span', 'state', c.state));
      div.append(head);
      const size = c.counter_size || 0;
      const used = c.counters_used || 0;
      const bar = el('div', 'bar');
      const fill = el('div');
      fill.style.width = size ? `${Math.min(100, (100 * used) / size)}%` : '0';
      bar.append(fill);
      div.append(el('div', 'line counters', `counters ${grouped(used)} / ${grouped(size)}`), bar);
      div.append(el('div', 'line', `flows ${grouped(c.flows ?? 0)} configured, ${grouped(c.applied ?? 0)} applied`));
      if (c.traffic_pps !== undefined) {
        div.append(el('div', 'line traffic', c.traffic_paused ? 'traffic paused' : `traffic ${grouped(c.traffic_pps)} pps`));
      }
      if (c.uptime_s !== undefined) div.append(el('div', 'line', `up ${grouped(c.uptime_s)} s`));
      if (c.mismatches) div.append(el('div', 'warn', `${grouped(c.mismatches)} mismatches`));
      if (c.lost_counters) div.append(el('div', 'warn', `${grouped(c.lost_counters)} counters lost`));
      const s = shown.get(c.slot);
      if (s && s.error) div.append(el('div', 'warn', s.error));
      else if (s && !s.complete && c.state === 'ready') div.append(el('div', 'warn', 'totals incomplete +'));
      frag.append(div);
    }
    ui.cards.replaceChildren(frag);
  }

  // ---- the chart

  function recordHistory(watched) {
    const now = Date.now();
    for (const w of watched) {
      const points = w && state.history.get(w.key);
      if (points) points.push({ t: now, fps: w.fps, bps: w.bps });
    }
    for (const points of state.history.values()) {
      while (points.length && points[0].t < now - CHART_WINDOW_MS) points.shift();
    }
  }

  function choose(key) {
    state.selected = key;
    const f = state.view && state.view.rows.find((r) => r.key === key);
    if (f) {
      const ids = f.type === 'vsan' ? '' : ` ${fcid(f, f.sid)} → ${fcid(f, f.did)}`;
      state.titles.set(key, `slot ${f.slot} ${f.type} ${f.vsan}${ids}${f.name ? ' (' + f.name + ')' : ''}`);
    }
    // The chosen flow's history goes last, so the oldest choice is dropped first.
    const kept = state.history.get(key) || [];
    state.history.delete(key);
    state.history.set(key, kept);
    while (state.history.size > CHART_KEEP) {
      const old = state.history.keys().next().value;
      state.history.delete(old);
      state.titles.delete(old);
    }
    renderFlows();
    drawChart();
    markShown(v.count);
  }

  function niceMax(v) {
    if (!(v > 0)) return 1;
    const p = 10 ** Math.floor(Math.log10(v));
    for (const m of [1, 2, 2.5, 5, 10]) if (m * p >= v) return m * p;
    return 10 * p;
  }

  function drawChart() {
    const canvas = ui.chart;
    const dpr = window.devicePixelRatio || 1;
    const w = canvas.clientWidth || 900;
    const h = canvas.clientHeight || 200;
    if (canvas.width !== Math.round(w * dpr) || canvas.height !== Math.round(h * dpr)) {
      canvas.width = Math.round(w * dpr);
      canvas.height = Math.round(h * dpr);
    }
    const g = canvas.getContext('2d');
    g.setTransform(dpr, 0, 0, dpr, 0, 0);
    g.clearRect(0, 0, w, h);
    const metric = ui.chartMetric.value;
    const unit = metric === 'fps' ? 'frames/s' : 'bytes/s';
    const key = state.selected;
    const points = (key && state.history.get(key)) || [];
    ui.chart.dataset.points = String(points.length);
    if (!key) {
      ui.chartValue.textContent = '';
      return;
    }
    ui.chartTitle.textContent = `Rate of ${state.titles.get(key) || key}`;
    const last = points.length ? points[points.length - 1][metric] : NaN;
    ui.chartValue.textContent = Number.isNaN(last) ? '' : `now ${rate(last)} ${unit}`;
    const left = 56;
    const right = w - 8;
    const top = 8;
    const bottom = h - 20;
    let max = 0;
    for (const p of points) if (p[metric] > max) max = p[metric];
    max = niceMax(max);
    g.font = '11px system-ui, sans-serif';
    g.fillStyle = '#66707a';
    g.strokeStyle = '#d8dde2';
    g.lineWidth = 1;
    g.textAlign = 'right';
    g.textBaseline = 'middle';
    for (let i = 0; i <= 4; i++) {
      const y = bottom - ((bottom - top) * i) / 4;
      g.beginPath();
      g.moveTo(left, y + 0.5);
      g.lineTo(right, y + 0.5);
      g.stroke();
      g.fillText(axis((max * i) / 4), left - 6, y);
    }
    g.textAlign = 'center';
    g.textBaseline = 'top';
    const now = Date.now();
    const x = (t) => left + ((right - left) * (t - (now - CHART_WINDOW_MS))) / CHART_WINDOW_MS;
    for (let m = 0; m <= CHART_WINDOW_MS / 60000; m++) {
      g.textAlign = m === 0 ? 'right' : 'center';
      g.fillText(m === 0 ? 'now' : `-${m} min`, x(now - m * 60000), bottom + 4);
    }
    g.strokeStyle = '#2458b3';
    g.lineWidth = 2;
    g.beginPath();
    let drawing = false;
    for (const p of points) {
      const v = p[metric];
      if (Number.isNaN(v)) {
        drawing = false; // no rate at that poll: a gap, not a drop to zero
        continue;
      }
      const px = x(p.t);
      const py = bottom - ((bottom - top) * v) / max;
      if (drawing) g.lineTo(px, py);
      else g.moveTo(px, py);
      drawing = true;
    }
    g.stroke();
  }

  // ---- controls

  function readFilter() {
    const slots = ui.fSlot.value.split(/[\s,]+/).filter(Boolean);
    const vsan = ui.fVsan.value.trim();
    const bad = [];
    if (!slots.every((s) => /^\d+$/.test(s) && +s >= 1 && +s <= 64)) bad.push('slots are 1..64');
    if (vsan && !(/^\d+$/.test(vsan) && +vsan >= 1 && +vsan <= 4095)) bad.push('a VSAN is 1..4095');
    ui.fSlot.setCustomValidity(bad.includes('slots are 1..64') ? 'slots are 1..64' : '');
    ui.fVsan.setCustomValidity(bad.includes('a VSAN is 1..4095') ? 'a VSAN is 1..4095' : '');
    if (bad.length) {
      showStatus([`filter: ${bad.join(', ')}`], 0);
      return null;
    }
    return { slots: [...new Set(slots.map(Number))].sort((a, b) => a - b), type: ui.fType.value, vsan };
  }

  function applyFilter() {
    const filter = readFilter();
    if (!filter) return;
    state.filter = filter;
    state.generation++;
    state.page = 0;
    poll();
  }

  function guard(fn) {
    return (ev) => {
      try {
        fn(ev);
      } catch (e) {
        showStatus([String(e && e.message || e)], 0);
      }
    };
  }

  ui.filters.addEventListener('submit', guard((ev) => {
    ev.preventDefault();
    applyFilter();
  }));
  ui.fType.addEventListener('change', guard(applyFilter));
  $('f-clear').addEventListener('click', guard(() => {
    ui.fSlot.value = '';
    ui.fType.value = '';
    ui.fVsan.value = '';
    applyFilter();
  }));
  // The model clamps the page to the rows there are.
  const pages = () => (state.view ? state.view.pages : 1);
  const goTo = (p) => guard(() => {
    state.page = Math.max(0, Math.min(pages() - 1, p()));
    refreshView();
  });
  $('page-first').addEventListener('click', goTo(() => 0));
  $('page-prev').addEventListener('click', goTo(() => state.page - 1));
  $('page-next').addEventListener('click', goTo(() => state.page + 1));
  $('page-last').addEventListener('click', goTo(() => pages() - 1));
  ui.pageSize.addEventListener('change', guard(() => {
    state.pageSize = Number(ui.pageSize.value);
    state.page = 0;
    refreshView();
  }));
  document.querySelector('#flows thead').addEventListener('click', guard((ev) => {
    const th = ev.target.closest('th');
    if (!th) return;
    const col = th.dataset.sort;
    // Rates and totals are read largest first; keys in their own order.
    const numeric = ['frames', 'bytes', 'fps', 'bps'].includes(col);
    state.sort = state.sort.col === col ? { col, dir: -state.sort.dir } : { col, dir: numeric ? -1 : 1 };
    state.page = 0;
    refreshView();
  }));
  ui.rows.addEventListener('click', guard((ev) => {
    const tr = ev.target.closest('tr');
    if (tr && tr.dataset.key) choose(tr.dataset.key);
  }));
  ui.chartMetric.addEventListener('change', guard(drawChart));
  window.addEventListener('resize', guard(drawChart));
  // Whatever slips through is shown on the page, not thrown to the console.
  window.addEventListener('unhandledrejection', (ev) => {
    ev.preventDefault();
    showStatus([String(ev.reason && ev.reason.message || ev.reason)], 0);
  });
  window.addEventListener('error', (ev) => {
    ev.preventDefault();
    showStatus([String(ev.message)], 0);
  });

  // The model alone, for the browser test to feed it made-up answers.
  window.flowPageModel = model;
  poll();
})();
