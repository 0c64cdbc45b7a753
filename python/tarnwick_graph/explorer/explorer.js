// The import graph explorer: reads the graph from the page's JSON element
// (see _html.py for its encodings) and draws packages as boxes in SVG, laid
// out in layers. Every name reaches the page through textContent or
// setAttribute, never as markup.
(function () {
  "use strict";

  const SVGNS = "http://www.w3.org/2000/svg";
  const DIGITS = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  const VALUE = new Int8Array(128).fill(-1);
  for (let i = 0; i < DIGITS.length; i++) VALUE[DIGITS.charCodeAt(i)] = i;
  // Site flags: one bit each; an edge carries the set of combinations its
  // statements have (bit c for combination c).
  const FLAG_NAMES = [[1, "function"], [2, "class"], [4, "guarded"], [8, "TYPE_CHECKING"]];
  const PLAIN = 1;
  const LIST_LIMIT = 300;
  const BOX_HEIGHT = 24;
  const ROW_GAP = 14;
  const COLUMN_GAP = 90;

  // ---- decoding ------------------------------------------------------------

  function varints(text) {
    const out = [];
    let n = 0;
    let scale = 1;
    for (let k = 0; k < text.length; k++) {
      const v = VALUE[text.charCodeAt(k)];
      if (v >= 32) {
        n += (v - 32) * scale;
        scale *= 32;
      } else {
        out.push(n + v * scale);
        n = 0;
        scale = 1;
      }
    }
    return out;
  }

  function decode(raw) {
    const count = raw.count;
    const names = new Array(count);
    let previous = "";
    for (let i = 0; i < count; i++) {
      const entry = raw.names[i];
      let k = 0;
      let shared = 0;
      let scale = 1;
      for (;;) {
        const v = VALUE[entry.charCodeAt(k++)];
        if (v >= 32) {
          shared += (v - 32) * scale;
          scale *= 32;
        } else {
          shared += v * scale;
          break;
        }
      }
      previous = previous.slice(0, shared) + entry.slice(k);
      names[i] = previous;
    }
    const kind = new Uint8Array(count);
    for (let i = 0; i < count; i++) kind[i] = VALUE[raw.kind.charCodeAt(i)];
    const depth = Int32Array.from(varints(raw.depth));
    const stream = varints(raw.imports);
    const edges = raw.edgeCount;
    const off = new Int32Array(count + 1);
    const to = new Int32Array(edges);
    const from = new Int32Array(edges);
    const line = new Int32Array(edges);
    const combos = new Uint16Array(edges);
    let at = 0;
    let e = 0;
    for (let i = 0; i < count; i++) {
      off[i] = e;
      const n = stream[at++];
      let target = 0;
      for (let k = 0; k < n; k++) {
        target += stream[at++];
        const code = stream[at++];
        to[e] = target;
        from[e] = i;
        line[e] = Math.floor(code / 2);
        combos[e] = code % 2 ? stream[at++] : PLAIN;
        e++;
      }
    }
    off[count] = e;
    // Importers: edge numbers grouped by the imported module.
    const roff = new Int32Array(count + 1);
    for (let k = 0; k < e; k++) roff[to[k] + 1]++;
    for (let i = 0; i < count; i++) roff[i + 1] += roff[i];
    const redge = new Int32Array(e);
    const fill = roff.slice(0, count);
    for (let k = 0; k < e; k++) redge[fill[to[k]]++] = k;
    const cycle = new Int32Array(count).fill(-1);
    const cycles = raw.cycles.map(function (text, c) {
      const members = [];
      let index = 0;
      for (const gap of varints(text)) {
        index += gap;
        members.push(index);
        cycle[index] = c;
      }
      return members;
    });
    const std = new Set(raw.stdlib);
    const inside = new Set(raw.inside);
    const top = new Array(count);
    const isStd = new Uint8Array(count);
    const isInside = new Uint8Array(count);
    const packages = new Set();
    for (let i = 0; i < count; i++) {
      const name = names[i];
      let dot = name.indexOf(".");
      top[i] = dot < 0 ? name : name.slice(0, dot);
      isStd[i] = std.has(top[i]) || kind[i] === 5 || kind[i] === 6 ? 1 : 0;
      isInside[i] = inside.has(top[i]) ? 1 : 0;
      while (dot >= 0) {
        packages.add(name.slice(0, dot));
        dot = name.indexOf(".", dot + 1);
      }
    }
    const problems = raw.problems.map(function (p) {
      const numbers = varints(p[3]);
      const where = [];
      let importer = 0;
      for (let k = 0; k < numbers.length; k += 2) {
        importer += numbers[k];
        where.push([importer - 1, numbers[k + 1]]);
      }
      const reason = p[2] === null ? "No module named '" + p[0] + "'" : p[2];
      return { name: p[0], kind: p[1], reason: reason, where: where };
    });
    const index = new Map();
    for (let i = 0; i < count; i++) index.set(names[i], i);
    let roots = 0;
    for (let i = 0; i < count; i++) if (depth[i] === 0) roots++;
    let maxDepth = 0;
    for (let i = 0; i < count; i++) if (depth[i] > maxDepth) maxDepth = depth[i];
    return {
      count, roots, names, kind, kinds: raw.kinds, depth, maxDepth, off, to, from, line, combos,
      roff, redge, cycle, cycles, top, isStd, isInside, packages, problems, index,
      folders: raw.folders, origin: raw.origin,
    };
  }

  // ---- small DOM helpers ---------------------------------------------------

  function el(tag, attrs, text) {
    const node = document.createElement(tag);
    if (attrs) for (const key in attrs) node.setAttribute(key, attrs[key]);
    if (text !== undefined) node.textContent = text;
    return node;
  }

  function svg(tag, attrs) {
    const node = document.createElementNS(SVGNS, tag);
    if (attrs) for (const key in attrs) node.setAttribute(key, String(attrs[key]));
    return node;
  }

  function plural(n, noun) {
    return n + " " + noun + (n === 1 ? "" : "s");
  }

  // ---- state -----------------------------------------------------------------

  const G = decode(JSON.parse(document.getElementById("graph-data").textContent));
  const state = {
    expanded: new Set(),
    hideFlags: 0,
    hideStd: false,
    hideOutside: false,
    depthLimit: G.maxDepth,
    selected: -1,
    cycleShown: -1,
  };
  const view = { x: 0, y: 0, k: 1 };
  let current = null; // what is drawn: boxes, links, module -> box

  function openInitially() {
    // The packages the graph is about, opened while there is one of them.
    state.expanded.clear();
    let tops = Array.from(new Set(G.top.filter(function (t, i) { return G.isInside[i]; })));
    while (tops.length === 1 && G.packages.has(tops[0])) {
      const only = tops[0];
      state.expanded.add(only);
      const children = new Set();
      for (let i = 0; i < G.count; i++) {
        const name = G.names[i];
        if (name.startsWith(only + ".")) {
          const dot = name.indexOf(".", only.length + 1);
          children.add(dot < 0 ? name : name.slice(0, dot));
        }
      }
      tops = Array.from(children).filter(function (c) { return G.packages.has(c); });
      if (children.size !== 1) break;
    }
  }

  function edgeMask() {
    // The flag combinations still shown: c survives when it has no hidden flag.
    let ok = 0;
    for (let c = 0; c < 16; c++) if ((c & state.hideFlags) === 0) ok |= 1 << c;
    return ok;
  }

  function visibleModules() {
    const shown = new Uint8Array(G.count);
    for (let i = 0; i < G.count; i++) {
      shown[i] = G.depth[i] === 0 || (
        G.depth[i] <= state.depthLimit &&
        !(state.hideStd && G.isStd[i]) &&
        !(state.hideOutside && !G.isInside[i])) ? 1 : 0;
    }
    return shown;
  }

  // The standard library's modules stand as one box until it is opened.
  const STD = "\u0001std";
  const STD_NAME = "(standard library)";

  function boxKey(i) {
    if (G.isStd[i] && !G.isInside[i] && !state.expanded.has(STD)) return STD;
    const name = G.names[i];
    let end = name.indexOf(".");
    for (;;) {
      const prefix = end < 0 ? name : name.slice(0, end);
      if (!state.expanded.has(prefix)) return prefix;
      if (end < 0) return "\u0000" + name; // an open package's own module
      end = name.indexOf(".", end + 1);
    }
  }

  // ---- the boxes and their links -----------------------------------------------

  function compute() {
    const shown = visibleModules();
    const ok = edgeMask();
    const keys = new Map();
    const boxes = [];
    const boxOf = new Int32Array(G.count).fill(-1);
    for (let i = 0; i < G.count; i++) {
      if (!shown[i]) continue;
      const key = boxKey(i);
      let b = keys.get(key);
      if (b === undefined) {
        b = boxes.length;
        keys.set(key, b);
        const own = key.charCodeAt(0) === 0;
        const name = key === STD ? STD_NAME : own ? key.slice(1) : key;
        boxes.push({
          key: key, name: name, own: own, members: [], depth: G.depth[i],
          std: G.isStd[i], inside: G.isInside[i], root: false, cycle: false,
          open: key === STD || (!own && G.packages.has(key)),
        });
      }
      const box = boxes[b];
      box.members.push(i);
      if (G.depth[i] < box.depth) box.depth = G.depth[i];
      if (G.depth[i] === 0) box.root = true;
      if (G.cycle[i] >= 0) box.cycle = true;
      boxOf[i] = b;
    }
    const pairs = new Map();
    const links = [];
    const nb = boxes.length;
    for (let i = 0; i < G.count; i++) {
      const a = boxOf[i];
      if (a < 0) continue;
      for (let e = G.off[i]; e < G.off[i + 1]; e++) {
        if ((G.combos[e] & ok) === 0) continue;
        const j = G.to[e];
        const b = boxOf[j];
        if (b < 0 || b === a) continue;
        const key = a * nb + b;
        let link = pairs.get(key);
        if (link === undefined) {
          link = { from: a, to: b, count: 0, cycle: false };
          pairs.set(key, link);
          links.push(link);
        }
        link.count++;
        if (G.cycle[i] >= 0 && G.cycle[i] === G.cycle[j]) link.cycle = true;
      }
    }
    return { boxes: boxes, links: links, boxOf: boxOf, shown: shown, ok: ok };
  }

  // ---- layered layout ----------------------------------------------------------

  let measure = null;
  function textWidth(text) {
    if (measure === null) {
      measure = document.createElement("canvas").getContext("2d");
      measure.font = "12px sans-serif";
    }
    return measure ? measure.measureText(text).width : text.length * 7;
  }

  function layout(boxes, links) {
    const n = boxes.length;
    const out = boxes.map(function () { return []; });
    links.forEach(function (link, k) { out[link.from].push(k); });
    // Cycles broken by reversing the links a depth-first walk meets going back.
    const reversed = new Uint8Array(links.length);
    const mark = new Uint8Array(n); // 0 new, 1 on the path, 2 done
    const order = boxes.map(function (_, b) { return b; });
    order.sort(function (a, b) { return boxes[a].depth - boxes[b].depth; });
    for (const start of order) {
      if (mark[start]) continue;
      const stack = [[start, 0]];
      mark[start] = 1;
      while (stack.length) {
        const top = stack[stack.length - 1];
        const list = out[top[0]];
        if (top[1] === list.length) {
          mark[top[0]] = 2;
          stack.pop();
          continue;
        }
        const k = list[top[1]++];
        const next = links[k].to;
        if (mark[next] === 1) reversed[k] = 1;
        else if (mark[next] === 0) {
          mark[next] = 1;
          stack.push([next, 0]);
        }
      }
    }
    // Longest-path layering over the acyclic links (sources first).
    const succ = boxes.map(function () { return []; });
    const pred = boxes.map(function () { return []; });
    const indeg = new Int32Array(n);
    links.forEach(function (link, k) {
      const a = reversed[k] ? link.to : link.from;
      const b = reversed[k] ? link.from : link.to;
      succ[a].push(b);
      pred[b].push(a);
      indeg[b]++;
    });
    const layer = new Int32Array(n);
    const queue = [];
    for (let b = 0; b < n; b++) if (indeg[b] === 0) queue.push(b);
    for (let q = 0; q < queue.length; q++) {
      const a = queue[q];
      for (const b of succ[a]) {
        if (layer[a] + 1 > layer[b]) layer[b] = layer[a] + 1;
        if (--indeg[b] === 0) queue.push(b);
      }
    }
    // Sources moved next to the first box they import, not to the first layer.
    for (let b = 0; b < n; b++) {
      if (pred[b].length === 0 && succ[b].length) {
        let least = Infinity;
        for (const s of succ[b]) least = Math.min(least, layer[s] - 1);
        layer[b] = Math.max(layer[b], least);
      }
    }
    // Dense graphs make long chains of layers: at most about 0.7 sqrt(n)
    // columns, links within a column drawn as arcs beside it.
    let deepest = 0;
    for (let b = 0; b < n; b++) deepest = Math.max(deepest, layer[b]);
    const columns = Math.max(6, Math.ceil(Math.sqrt(n) * 0.7));
    if (deepest + 1 > columns) {
      for (let b = 0; b < n; b++) layer[b] = Math.floor(layer[b] * columns / (deepest + 1));
    }
    // Nodes: the boxes, then a dummy per layer a long link crosses.
    const nodes = boxes.map(function (box, b) {
      return { box: b, layer: layer[b], w: textWidth(boxLabel(box)) + 18, up: [], down: [], pos: 0, y: 0 };
    });
    const routes = [];
    // A long link bends through a point in each column it crosses, unless
    // there are so many that they would only make a wall: then all go straight.
    let needed = 0;
    links.forEach(function (link) { needed += Math.max(0, Math.abs(layer[link.to] - layer[link.from]) - 1); });
    const bend = needed <= 800;
    links.forEach(function (link, k) {
      const a = reversed[k] ? link.to : link.from;
      const b = reversed[k] ? link.from : link.to;
      const chain = [a];
      if (layer[b] - layer[a] > 1 && bend) {
        for (let l = layer[a] + 1; l < layer[b]; l++) {
          nodes.push({ box: -1, layer: l, w: 0, up: [], down: [], pos: 0, y: 0 });
          chain.push(nodes.length - 1);
        }
      }
      chain.push(b);
      for (let c = 0; c + 1 < chain.length && layer[a] !== layer[b]; c++) {
        nodes[chain[c]].down.push(chain[c + 1]);
        nodes[chain[c + 1]].up.push(chain[c]);
      }
      routes.push(reversed[k] ? chain.slice().reverse() : chain);
    });
    let layers = 0;
    for (const node of nodes) layers = Math.max(layers, node.layer + 1);
    const rows = [];
    for (let l = 0; l < layers; l++) rows.push([]);
    // First order: boxes by name, dummies after their source.
    const byName = nodes.map(function (_, v) { return v; });
    byName.sort(function (u, v) {
      const a = nodes[u].box, b = nodes[v].box;
      if (a < 0 || b < 0) return (a < 0) - (b < 0);
      return boxes[a].name < boxes[b].name ? -1 : boxes[a].name > boxes[b].name ? 1 : 0;
    });
    for (const v of byName) rows[nodes[v].layer].push(v);
    function place(row) { row.forEach(function (v, p) { nodes[v].pos = p; }); }
    rows.forEach(place);
    function sweep(row, side) {
      const centre = new Map();
      for (const v of row) {
        const near = nodes[v][side];
        if (near.length === 0) { centre.set(v, nodes[v].pos); continue; }
        let sum = 0;
        for (const u of near) sum += nodes[u].pos;
        centre.set(v, sum / near.length);
      }
      row.sort(function (u, v) { return centre.get(u) - centre.get(v); });
      place(row);
    }
    for (let round = 0; round < 6; round++) {
      for (let l = 1; l < layers; l++) sweep(rows[l], "up");
      for (let l = layers - 2; l >= 0; l--) sweep(rows[l], "down");
    }
    // Coordinates: columns by layer; in each, rows packed and then drawn
    // towards the mean of their neighbours without overlapping.
    const columnX = [];
    let x = 0;
    for (let l = 0; l < layers; l++) {
      columnX.push(x);
      let widest = 20;
      for (const v of rows[l]) widest = Math.max(widest, nodes[v].w);
      x += widest + COLUMN_GAP;
    }
    function span(v) { return nodes[v].box < 0 ? 6 : BOX_HEIGHT + ROW_GAP; }
    for (const row of rows) {
      let y = 0;
      for (const v of row) { nodes[v].y = y; y += span(v); }
    }
    function settle(row) {
      if (row.length === 0) return;
      const want = row.map(function (v) {
        const near = nodes[v].up.concat(nodes[v].down);
        if (near.length === 0) return nodes[v].y;
        let sum = 0;
        for (const u of near) sum += nodes[u].y;
        return sum / near.length;
      });
      const y = want.slice();
      for (let p = 1; p < row.length; p++) y[p] = Math.max(y[p], y[p - 1] + span(row[p - 1]));
      for (let p = row.length - 2; p >= 0; p--) y[p] = Math.min(y[p], y[p + 1] - span(row[p]));
      for (let p = 1; p < row.length; p++) y[p] = Math.max(y[p], y[p - 1] + span(row[p - 1]));
      row.forEach(function (v, p) { nodes[v].y = y[p]; });
    }
    for (let round = 0; round < 4; round++) {
      for (let l = 0; l < layers; l++) settle(rows[l]);
      for (let l = layers - 1; l >= 0; l--) settle(rows[l]);
    }
    for (const node of nodes) node.x = columnX[node.layer];
    return { nodes: nodes, routes: routes };
  }

  // ---- drawing -------------------------------------------------------------------

  function boxLabel(box) {
    if (box.own) return box.name + " (__init__)";
    if (box.open) return "\u25B8 " + box.name + "  " + box.members.length;
    return box.name;
  }

  function boxClass(box) {
    const parts = ["box"];
    parts.push(box.root && G.roots <= 10 ? "root" : box.inside ? "inside" : box.std ? "stdlib" : "outside");
    if (box.open) parts.push("package");
    if (box.cycle) parts.push("cycle");
    return parts.join(" ");
  }

  const canvas = svg("svg", { id: "canvas", role: "img", "aria-label": "import graph" });
  const viewport = svg("g", { id: "viewport" });
  canvas.appendChild(svg("defs"));
  canvas.appendChild(viewport);

  function arrowMarker(id, colour) {
    const marker = svg("marker", {
      id: id, viewBox: "0 0 10 10", refX: 10, refY: 5, markerWidth: 7, markerHeight: 7,
      orient: "auto-start-reverse",
    });
    marker.appendChild(svg("path", { d: "M0,0 L10,5 L0,10 z", fill: colour }));
    canvas.firstChild.appendChild(marker);
  }
  arrowMarker("arrow", "#8a94a6");
  arrowMarker("arrow-cycle", "#d0342c");
  arrowMarker("arrow-hot", "#1f5fbf");

  function draw() {
    current = compute();
    const drawn = layout(current.boxes, current.links);
    current.nodes = drawn.nodes;
    while (viewport.firstChild) viewport.removeChild(viewport.firstChild);
    // Past a few hundred links, their counts show for the chosen box only.
    const dense = current.links.length > 300;
    const linkLayer = svg("g", { class: dense ? "links dense" : "links" });
    const labelLayer = svg("g", { class: "counts" });
    const boxLayer = svg("g", { class: "boxes" });
    viewport.appendChild(linkLayer);
    viewport.appendChild(labelLayer);
    viewport.appendChild(boxLayer);
    current.linkNodes = [];
    current.boxNodes = [];
    current.labelNodes = [];
    const pairs = new Set(current.links.map(function (l) { return l.from + "," + l.to; }));
    drawn.routes.forEach(function (route, k) {
      const link = current.links[k];
      // Two boxes importing each other: the two links bow apart.
      const sway = pairs.has(link.to + "," + link.from) ? (link.from < link.to ? -14 : 14) : 0;
      const points = route.map(function (v, c) {
        const node = drawn.nodes[v];
        if (node.box < 0) return [node.x, node.y + 3];
        const mid = node.y + BOX_HEIGHT / 2;
        if (c === 0) {
          const right = drawn.nodes[route[1]].x >= node.x;
          return [right ? node.x + node.w : node.x, mid];
        }
        const left = drawn.nodes[route[c - 1]].x <= node.x;
        return [left ? node.x : node.x + node.w, mid];
      });
      let d = "M" + points[0][0] + "," + points[0][1];
      const ends = [drawn.nodes[route[0]], drawn.nodes[route[route.length - 1]]];
      if (ends[0].x === ends[1].x) {
        // Within one column: an arc beside it, from right side to right side.
        const x0 = ends[0].x + ends[0].w, x1 = ends[1].x + ends[1].w;
        const out = Math.max(x0, x1) + 30 + Math.abs(points[0][1] - points[1][1]) / 6;
        points[0][0] = x0;
        points[1][0] = x1;
        d = "M" + x0 + "," + points[0][1] + " C" + out + "," + points[0][1] + " " + out + "," +
          points[1][1] + " " + x1 + "," + points[1][1];
        points[0][0] = out;
        points[1][0] = out;
      }
      for (let c = 1; c < points.length && ends[0].x !== ends[1].x; c++) {
        const p = points[c - 1], q = points[c];
        const bend = (q[0] - p[0]) / 2;
        d += " C" + (p[0] + bend) + "," + (p[1] + sway) + " " + (q[0] - bend) + "," +
          (q[1] + sway) + " " + q[0] + "," + q[1];
      }
      const path = svg("path", { d: d, class: link.cycle ? "link cycle" : "link" });
      const title = svg("title");
      title.textContent = current.boxes[link.from].name + " \u2192 " + current.boxes[link.to].name +
        ": " + plural(link.count, "import") + (link.cycle ? " (in a cycle)" : "");
      path.appendChild(title);
      linkLayer.appendChild(path);
      current.linkNodes.push(path);
      const m = Math.floor((points.length - 1) / 2);
      const p = points[m], q = points[m + 1];
      const label = svg("text", {
        x: (p[0] + q[0]) / 2, y: (p[1] + q[1]) / 2 - 3 + sway * 0.75, class: dense ? "count spare" : "count",
        "data-from": current.boxes[link.from].name, "data-to": current.boxes[link.to].name,
      });
      label.textContent = String(link.count);
      labelLayer.appendChild(label);
      current.labelNodes.push(label);
    });
    current.boxes.forEach(function (box, b) {
      const node = drawn.nodes[b];
      const group = svg("g", {
        class: boxClass(box), transform: "translate(" + node.x + "," + node.y + ")",
        "data-name": box.name, "data-kind": box.own ? "init" : box.open ? "package" : "module",
      });
      group.appendChild(svg("rect", { width: node.w, height: BOX_HEIGHT, rx: 4 }));
      const text = svg("text", { x: 9, y: BOX_HEIGHT / 2 + 4 });
      text.textContent = boxLabel(box);
      group.appendChild(text);
      const title = svg("title");
      title.textContent = box.open
        ? box.name + ": " + plural(box.members.length, "module") + " (click to open)"
        : box.name + (box.own ? " (the package's own module)" : "") + " (click for details)";
      group.appendChild(title);
      group.addEventListener("click", function (event) {
        if (moved) return;
        event.stopPropagation();
        if (box.open) {
          state.expanded.add(box.key);
          redraw();
        } else {
          select(box.members[0], false);
        }
      });
      boxLayer.appendChild(group);
      current.boxNodes.push(group);
    });
    highlight();
    renderSummary();
    renderOpen();
  }

  function redraw() {
    draw();
    // The whole drawing, or the chosen module where it can be read.
    const chosen = state.selected >= 0 ? current.boxOf[state.selected] : -1;
    if (chosen >= 0) focus(chosen);
    else fit();
  }

  function highlight() {
    if (!current) return;
    const chosen = state.selected >= 0 ? current.boxOf[state.selected] : -1;
    const wanted = state.cycleShown >= 0 ? new Set(G.cycles[state.cycleShown]) : null;
    current.boxNodes.forEach(function (node, b) {
      const box = current.boxes[b];
      node.classList.toggle("selected", b === chosen);
      node.classList.toggle("imported", false);
      node.classList.toggle("importer", false);
      node.classList.toggle("shown-cycle",
        wanted !== null && box.members.some(function (i) { return wanted.has(i); }));
    });
    current.linkNodes.forEach(function (path, k) {
      const link = current.links[k];
      const hot = chosen >= 0 && (link.from === chosen || link.to === chosen);
      path.classList.toggle("hot", hot);
      current.labelNodes[k].classList.toggle("hot", hot);
      path.classList.toggle("faded", chosen >= 0 && !hot);
      path.setAttribute("marker-end", hot ? "url(#arrow-hot)" : link.cycle ? "url(#arrow-cycle)" : "url(#arrow)");
      if (hot) {
        current.boxNodes[link.from === chosen ? link.to : link.from].classList.add(
          link.from === chosen ? "imported" : "importer");
      }
    });
  }

  // ---- pan and zoom ----------------------------------------------------------------

  let moved = false;
  function applyView() {
    viewport.setAttribute("transform", "translate(" + view.x + "," + view.y + ") scale(" + view.k + ")");
  }

  function fit() {
    const box = viewport.getBBox();
    const width = canvas.clientWidth || 800, height = canvas.clientHeight || 600;
    if (box.width === 0 || box.height === 0) { view.x = 20; view.y = 20; view.k = 1; applyView(); return; }
    view.k = Math.min(1.5, Math.max(0.05, Math.min((width - 40) / box.width, (height - 40) / box.height)));
    view.x = (width - box.width * view.k) / 2 - box.x * view.k;
    view.y = Math.max(20, (height - box.height * view.k) / 2) - box.y * view.k;
    applyView();
  }

  function focus(b) {
    // The box in the middle, at a scale its name can be read at.
    if (b < 0) return;
    const node = current.nodes[b];
    const width = canvas.clientWidth || 800, height = canvas.clientHeight || 600;
    view.k = Math.max(view.k, 0.9);
    view.x = width / 2 - (node.x + node.w / 2) * view.k;
    view.y = height / 2 - (node.y + BOX_HEIGHT / 2) * view.k;
    applyView();
  }

  function zoom(factor, cx, cy) {
    const k = Math.min(8, Math.max(0.02, view.k * factor));
    view.x = cx - (cx - view.x) * (k / view.k);
    view.y = cy - (cy - view.y) * (k / view.k);
    view.k = k;
    applyView();
  }

  let dragging = null;
  canvas.addEventListener("pointerdown", function (event) {
    dragging = { x: event.clientX, y: event.clientY, vx: view.x, vy: view.y };
    moved = false;
  });
  window.addEventListener("pointermove", function (event) {
    if (!dragging) return;
    const dx = event.clientX - dragging.x, dy = event.clientY - dragging.y;
    if (Math.abs(dx) + Math.abs(dy) > 4) moved = true;
    if (moved) {
      view.x = dragging.vx + dx;
      view.y = dragging.vy + dy;
      applyView();
    }
  });
  window.addEventListener("pointerup", function () { dragging = null; });
  canvas.addEventListener("wheel", function (event) {
    event.preventDefault();
    const rect = canvas.getBoundingClientRect();
    zoom(event.deltaY < 0 ? 1.15 : 1 / 1.15, event.clientX - rect.left, event.clientY - rect.top);
  }, { passive: false });

  // ---- the module's neighbourhood ------------------------------------------------

  function origin(i) {
    const code = G.origin[i];
    if (typeof code !== "number") return code;
    const folder = G.folders[code >> 1];
    return folder + "/" + G.names[i].split(".").join("/") + (code & 1 ? "/__init__.py" : ".py");
  }

  function flagText(combos) {
    if (combos === PLAIN) return "";
    const words = [];
    for (let c = 1; c < 16; c++) {
      if (!(combos & (1 << c))) continue;
      const parts = [];
      for (const [bit, word] of FLAG_NAMES) if (c & bit) parts.push(word);
      words.push(parts.join("+"));
    }
    // Some statements plain, others not: the plain ones make the import anyway.
    return (combos & PLAIN ? "also " : "") + words.join(", ");
  }

  // Breadth-first over the shown imports, forward or back; the modules
  // reached, with the edge each was first reached by.
  function walk(start, forward) {
    const reach = new Int32Array(G.count).fill(-2);
    reach[start] = -1;
    const queue = [start];
    for (let q = 0; q < queue.length; q++) {
      const i = queue[q];
      const lo = forward ? G.off[i] : G.roff[i], hi = forward ? G.off[i + 1] : G.roff[i + 1];
      for (let k = lo; k < hi; k++) {
        const e = forward ? k : G.redge[k];
        if ((G.combos[e] & current.ok) === 0) continue;
        const j = forward ? G.to[e] : G.from[e];
        if (reach[j] !== -2 || !current.shown[j]) continue;
        reach[j] = e;
        queue.push(j);
      }
    }
    return { reach: reach, count: queue.length - 1 };
  }

  function chainTo(target) {
    // From the roots, over the imports shown: the first chain found.
    const reach = new Int32Array(G.count).fill(-2);
    const queue = [];
    for (let i = 0; i < G.count; i++) if (G.depth[i] === 0) { reach[i] = -1; queue.push(i); }
    for (let q = 0; q < queue.length && reach[target] === -2; q++) {
      const i = queue[q];
      for (let e = G.off[i]; e < G.off[i + 1]; e++) {
        const j = G.to[e];
        if ((G.combos[e] & current.ok) === 0 || reach[j] !== -2 || !current.shown[j]) continue;
        reach[j] = e;
        queue.push(j);
      }
    }
    if (reach[target] === -2) return [];
    const chain = [target];
    for (let i = target; reach[i] >= 0; i = G.from[reach[i]]) chain.push(G.from[reach[i]]);
    return chain.reverse();
  }

  function moduleLink(i) {
    const a = el("a", { href: "#", class: "module", "data-module": G.names[i] }, G.names[i]);
    a.addEventListener("click", function (event) { event.preventDefault(); select(i, true); });
    return a;
  }

  function edgeList(title, edges, forward, transitive, id) {
    const section = el("section", { id: id });
    section.appendChild(el("h3", null, title + ": " + edges.length + " direct, " + transitive + " in all"));
    const list = el("ul", { class: "edges" });
    edges.slice(0, LIST_LIMIT).forEach(function (e) {
      const item = el("li");
      item.appendChild(moduleLink(forward ? G.to[e] : G.from[e]));
      const where = forward ? "line " + G.line[e] : "at line " + G.line[e];
      item.appendChild(el("span", { class: "line" }, " " + where));
      const flags = flagText(G.combos[e]);
      if (flags) item.appendChild(el("span", { class: "flags" }, " " + flags));
      list.appendChild(item);
    });
    section.appendChild(list);
    if (edges.length > LIST_LIMIT) section.appendChild(el("p", null, "and " + (edges.length - LIST_LIMIT) + " more"));
    return section;
  }

  function select(i, reveal) {
    state.selected = i;
    if (reveal && current && current.boxOf[i] >= 0) {
      // Open the packages around it, so that it gets a box of its own.
      const parts = G.names[i].split(".");
      let grew = false;
      if (G.isStd[i] && !G.isInside[i] && !state.expanded.has(STD)) { state.expanded.add(STD); grew = true; }
      for (let p = 1; p < parts.length; p++) {
        const prefix = parts.slice(0, p).join(".");
        if (!state.expanded.has(prefix)) { state.expanded.add(prefix); grew = true; }
      }
      if (grew) redraw();
      else focus(current.boxOf[i]);
    }
    highlight();
    renderDetails();
  }

  function renderDetails() {
    const panel = document.getElementById("details");
    while (panel.firstChild) panel.removeChild(panel.firstChild);
    const i = state.selected;
    if (i < 0) {
      panel.appendChild(el("p", { class: "hint" },
        "Click a box to open a package or to see a module; search for a module by name."));
      return;
    }
    panel.appendChild(el("h2", { id: "selected-name" }, G.names[i]));
    const facts = el("dl");
    function fact(term, value) { facts.appendChild(el("dt", null, term)); facts.appendChild(el("dd", null, value)); }
    fact("kind", G.kinds[G.kind[i]]);
    const where = origin(i);
    fact("file", where === null ? "(none)" : where);
    fact("depth", String(G.depth[i]));
    fact("group", G.depth[i] === 0 ? "a root" : G.isInside[i] ? "in the graphed packages" :
      G.isStd[i] ? "standard library" : "outside the graphed packages");
    if (G.cycle[i] >= 0) fact("cycle", "in an import cycle of " + plural(G.cycles[G.cycle[i]].length, "module"));
    panel.appendChild(facts);
    if (!current.shown[i]) panel.appendChild(el("p", { class: "warning" }, "The filters hide this module."));
    const chain = chainTo(i);
    const why = el("section", { id: "chain" });
    why.appendChild(el("h3", null, "Shortest chain from a root"));
    if (chain.length === 0) why.appendChild(el("p", null, "none with the imports shown"));
    const ol = el("ol", { class: "chain" });
    chain.forEach(function (m) { const li = el("li"); li.appendChild(moduleLink(m)); ol.appendChild(li); });
    why.appendChild(ol);
    panel.appendChild(why);
    const direct = [], back = [];
    for (let e = G.off[i]; e < G.off[i + 1]; e++) if (G.combos[e] & current.ok && current.shown[G.to[e]]) direct.push(e);
    for (let k = G.roff[i]; k < G.roff[i + 1]; k++) {
      const e = G.redge[k];
      if (G.combos[e] & current.ok && current.shown[G.from[e]]) back.push(e);
    }
    panel.appendChild(edgeList("Imports", direct, true, walk(i, true).count, "imports"));
    panel.appendChild(edgeList("Imported by", back, false, walk(i, false).count, "importers"));
    const own = [];
    G.problems.forEach(function (p) {
      for (const [at, line] of p.where) if (at === i) own.push(p.name + " (line " + line + "): " + p.reason);
    });
    if (own.length) {
      const section = el("section", { id: "own-problems" });
      section.appendChild(el("h3", null, "Not followed"));
      const ul = el("ul");
      own.slice(0, LIST_LIMIT).forEach(function (text) { ul.appendChild(el("li", null, text)); });
      section.appendChild(ul);
      panel.appendChild(section);
    }
  }

  // ---- the side bar ------------------------------------------------------------------

  function renderSummary() {
    const summary = document.getElementById("summary");
    summary.textContent = plural(G.count, "module") + ", " + plural(G.to.length, "import") +
      ", " + plural(G.cycles.length, "cycle") + ", " + plural(G.problems.length, "unresolved name") +
      ". Showing " + current.boxes.length + (current.boxes.length === 1 ? " box" : " boxes") + " and " + plural(current.links.length, "link") + ".";
  }

  function renderOpen() {
    const list = document.getElementById("open-list");
    while (list.firstChild) list.removeChild(list.firstChild);
    const open = Array.from(state.expanded).sort();
    if (open.length === 0) list.appendChild(el("li", { class: "hint" }, "none: every package is one box"));
    for (const name of open) {
      const item = el("li");
      item.appendChild(el("span", null, (name === STD ? STD_NAME : name) + " "));
      const button = el("button", { type: "button", class: "small", title: "close " + name }, "close");
      button.addEventListener("click", function () {
        for (const other of Array.from(state.expanded)) {
          if (other === name || other.startsWith(name + ".")) state.expanded.delete(other);
        }
        redraw();
      });
      item.appendChild(button);
      list.appendChild(item);
    }
  }

  function renderCycles() {
    const box = document.getElementById("cycles");
    box.appendChild(el("h3", null, "Cycles (" + G.cycles.length + ")"));
    if (G.cycles.length === 0) box.appendChild(el("p", { class: "hint" }, "no import cycles"));
    const ul = el("ul");
    G.cycles.slice(0, LIST_LIMIT).forEach(function (members, c) {
      const li = el("li");
      const shown = members.slice(0, 4).map(function (m) { return G.names[m]; }).join(", ");
      const a = el("a", { href: "#", class: "cycle-link" },
        plural(members.length, "module") + ": " + shown + (members.length > 4 ? ", \u2026" : ""));
      a.addEventListener("click", function (event) {
        event.preventDefault();
        state.cycleShown = state.cycleShown === c ? -1 : c;
        highlight();
      });
      li.appendChild(a);
      ul.appendChild(li);
    });
    box.appendChild(ul);
  }

  function renderProblems() {
    const box = document.getElementById("problems");
    box.appendChild(el("h3", null, "Not found (" + G.problems.length + ")"));
    if (G.problems.length === 0) box.appendChild(el("p", { class: "hint" }, "every import was found"));
    const ul = el("ul");
    G.problems.slice(0, LIST_LIMIT).forEach(function (p) {
      const li = el("li", { class: "problem" });
      li.appendChild(el("strong", null, p.name));
      li.appendChild(el("span", { class: "reason" }, " " + p.reason + "; imported by "));
      p.where.slice(0, 20).forEach(function (w, k) {
        if (k) li.appendChild(document.createTextNode(", "));
        if (w[0] < 0) li.appendChild(el("span", null, "(asked for)"));
        else {
          li.appendChild(moduleLink(w[0]));
          li.appendChild(document.createTextNode(":" + w[1]));
        }
      });
      if (p.where.length > 20) li.appendChild(document.createTextNode(" and " + (p.where.length - 20) + " more"));
      ul.appendChild(li);
    });
    box.appendChild(ul);
  }

  // ---- search ------------------------------------------------------------------------

  function matches(text) {
    const wanted = text.trim().toLowerCase();
    if (!wanted) return [];
    const first = [], then = [];
    for (let i = 0; i < G.count && first.length < 30; i++) {
      const name = G.names[i].toLowerCase();
      const at = name.indexOf(wanted);
      if (at < 0) continue;
      if (at === 0 || name.endsWith("." + wanted) || name === wanted) first.push(i);
      else if (then.length < 30) then.push(i);
    }
    first.sort(function (a, b) { return G.names[a].length - G.names[b].length; });
    return first.concat(then).slice(0, 30);
  }

  function setUpSearch() {
    const input = document.getElementById("search");
    const list = document.getElementById("search-results");
    let found = [];
    let active = 0;
    function show() {
      while (list.firstChild) list.removeChild(list.firstChild);
      found.forEach(function (i, k) {
        const li = el("li", { class: k === active ? "active" : "", "data-module": G.names[i] }, G.names[i]);
        li.addEventListener("mousedown", function (event) { event.preventDefault(); choose(i); });
        list.appendChild(li);
      });
      list.hidden = found.length === 0;
    }
    function choose(i) {
      found = [];
      show();
      input.value = G.names[i];
      select(i, true);
    }
    input.addEventListener("input", function () { found = matches(input.value); active = 0; show(); });
    input.addEventListener("keydown", function (event) {
      if (event.key === "ArrowDown") { active = Math.min(found.length - 1, active + 1); show(); event.preventDefault(); }
      else if (event.key === "ArrowUp") { active = Math.max(0, active - 1); show(); event.preventDefault(); }
      else if (event.key === "Enter") {
        const exact = G.index.get(input.value.trim());
        if (exact !== undefined) choose(exact);
        else if (found.length) choose(found[active]);
      } else if (event.key === "Escape") { found = []; show(); }
    });
    input.addEventListener("blur", function () { found = []; show(); });
  }

  // ---- the page ------------------------------------------------------------------------

  function checkbox(id, label, onChange) {
    const wrap = el("label", { class: "check" });
    const box = el("input", { type: "checkbox", id: id });
    box.addEventListener("change", function () { onChange(box.checked); redraw(); if (state.selected >= 0) renderDetails(); });
    wrap.appendChild(box);
    wrap.appendChild(document.createTextNode(" " + label));
    return wrap;
  }

  function build() {
    const header = el("header");
    header.appendChild(el("h1", null, document.title));
    const search = el("div", { class: "search" });
    search.appendChild(el("input", {
      id: "search", type: "search", placeholder: "Find a module\u2026", autocomplete: "off",
      "aria-label": "find a module",
    }));
    const results = el("ul", { id: "search-results" });
    results.hidden = true;
    search.appendChild(results);
    header.appendChild(search);
    header.appendChild(el("p", { id: "summary" }));
    document.body.appendChild(header);

    const main = el("main");
    const side = el("aside", { id: "side" });
    const filters = el("section", { id: "filters" });
    filters.appendChild(el("h3", null, "Hide"));
    const flagBoxes = [["hide-function", "imports inside functions", 1], ["hide-class", "imports in class bodies", 2],
      ["hide-guarded", "guarded imports (try/except ImportError)", 4], ["hide-type-checking", "imports under TYPE_CHECKING", 8]];
    for (const [id, label, bit] of flagBoxes) {
      filters.appendChild(checkbox(id, label, function (on) { state.hideFlags = on ? state.hideFlags | bit : state.hideFlags & ~bit; }));
    }
    filters.appendChild(checkbox("hide-stdlib", "the standard library", function (on) { state.hideStd = on; }));
    filters.appendChild(checkbox("hide-outside", "modules outside the graphed packages", function (on) { state.hideOutside = on; }));
    const depthLabel = el("label", { class: "depth" }, "Depth at most ");
    const depth = el("input", { id: "depth", type: "number", min: 0, max: G.maxDepth, value: G.maxDepth });
    depth.addEventListener("change", function () {
      const value = parseInt(depth.value, 10);
      state.depthLimit = isNaN(value) ? G.maxDepth : Math.max(0, value);
      redraw();
      if (state.selected >= 0) renderDetails();
    });
    depthLabel.appendChild(depth);
    depthLabel.appendChild(document.createTextNode(" of " + G.maxDepth));
    filters.appendChild(depthLabel);
    side.appendChild(filters);

    const open = el("section", { id: "open" });
    open.appendChild(el("h3", null, "Open packages"));
    open.appendChild(el("ul", { id: "open-list" }));
    const reset = el("button", { type: "button", id: "reset" }, "Start over");
    reset.addEventListener("click", function () { openInitially(); state.selected = -1; state.cycleShown = -1; redraw(); renderDetails(); });
    open.appendChild(reset);
    side.appendChild(open);

    const legend = el("section", { id: "legend" });
    legend.appendChild(el("h3", null, "Boxes"));
    [["root", "a root: where the graph starts"], ["inside", "in the graphed packages"],
      ["outside", "outside them (installed packages)"], ["stdlib", "standard library"],
      ["cycle", "in an import cycle (red links join its modules)"],
      ["imported", "imported by the chosen module"], ["importer", "importing the chosen module"],
    ].forEach(function (pair) {
      const row = el("div", { class: "legend-row" });
      row.appendChild(el("span", { class: "swatch " + pair[0] }));
      row.appendChild(document.createTextNode(pair[1]));
      legend.appendChild(row);
    });
    legend.appendChild(el("p", { class: "hint" },
      "\u25B8 marks a package shown as one box, with its number of modules: click it to open it. " +
      "Numbers on the arrows count the imports between two boxes. Drag to move, wheel to zoom."));
    side.appendChild(legend);
    side.appendChild(el("section", { id: "cycles" }));
    side.appendChild(el("section", { id: "problems" }));
    main.appendChild(side);

    const stage = el("div", { id: "stage" });
    const tools = el("div", { class: "tools" });
    [["zoom-in", "+", function () { zoom(1.25, canvas.clientWidth / 2, canvas.clientHeight / 2); }],
      ["zoom-out", "\u2212", function () { zoom(0.8, canvas.clientWidth / 2, canvas.clientHeight / 2); }],
      ["fit", "fit", fit]].forEach(function (t) {
      const button = el("button", { type: "button", id: t[0], title: t[0].replace("-", " ") }, t[1]);
      button.addEventListener("click", t[2]);
      tools.appendChild(button);
    });
    stage.appendChild(tools);
    stage.appendChild(canvas);
    main.appendChild(stage);
    main.appendChild(el("aside", { id: "details" }));
    document.body.appendChild(main);
  }

  build();
  setUpSearch();
  renderCycles();
  renderProblems();
  openInitially();
  redraw();
  renderDetails();
  canvas.addEventListener("click", function () {
    if (moved || state.selected < 0) return;
    state.selected = -1;
    highlight();
    renderDetails();
  });
  if (window.performance && performance.mark) performance.mark("ready");
  document.body.dataset.ready = "1";
})();
