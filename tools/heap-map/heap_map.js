// Draws the strips of the heap map from HEAP (written into the page beside this script) and makes
// them zoom, pan and answer hovering. Only the rows in view are drawn, so a heap of a million
// Blocks stays quick: a pixel holding several Blocks becomes one mark in a blend of their colours.
"use strict";
(function () {
  const ROW_HEIGHT = 10;
  const PITCH = ROW_HEIGHT + 6; // room above and below a row for the joined-boundary marks
  const MOST_ROWS = 400000; // keeps the strips within what a page can lay out
  const KINDS = "afg";
  const BASE = [[38, 84, 190], [120, 200, 120], [225, 35, 35]];
  const SECOND_ALLOCATED = "rgb(78,124,220)";
  const JOINED = "rgb(255,140,0)";
  const STATE = ["allocated", "free, filed in a bin", "fragment, too small to file"];

  window.addEventListener("error", (event) => {
    document.body.dataset.error = String(event.message);
  });

  const pane = document.getElementById("map");
  const tip = document.getElementById("tip");
  const scaleLabel = document.getElementById("scale");
  const sections = Array.from(pane.querySelectorAll("section.segment"));
  const rgb = (c) => "rgb(" + c[0] + "," + c[1] + "," + c[2] + ")";
  const colourOfKind = BASE.map(rgb);

  const segments = HEAP.segments.map((data, index) => {
    const count = data.units.length;
    const starts = new Float64Array(count + 1);
    const kinds = new Uint8Array(count);
    let at = 0;
    for (let i = 0; i < count; i++) {
      starts[i] = at;
      at += HEAP.header + data.units[i] * HEAP.unit;
      kinds[i] = KINDS.indexOf(data.kinds[i]);
    }
    starts[count] = at;
    const svg = sections[index].querySelector("svg");
    return { data, count, starts, kinds, svg, rows: 1, drawn: "" };
  });
  const totalBytes = segments.reduce((sum, s) => sum + s.data.size, 0);

  let bytesPerPixel = 1;
  let rowPixels = 800;

  // The Block that holds byte `offset` of the segment: the last start at or below it.
  function blockAt(s, offset) {
    let low = 0;
    let high = s.count - 1;
    while (low < high) {
      const middle = (low + high + 1) >> 1;
      if (s.starts[middle] <= offset) low = middle;
      else high = middle - 1;
    }
    return low;
  }

  function blockColour(s, i) {
    if (s.kinds[i] === 0 && i % 2 === 1) return SECOND_ALLOCATED;
    return colourOfKind[s.kinds[i]];
  }

  function blend(bytesByKind) {
    const total = bytesByKind[0] + bytesByKind[1] + bytesByKind[2];
    const mixed = [0, 1, 2].map((channel) =>
      Math.round(BASE.reduce((sum, c, kind) => sum + c[channel] * bytesByKind[kind], 0) / total));
    return rgb(mixed);
  }

  function clampScale(value) {
    const finest = Math.max(1 / 8, totalBytes / (rowPixels * MOST_ROWS));
    const coarsest = Math.max(finest, totalBytes / rowPixels);
    return Math.min(coarsest, Math.max(finest, value));
  }

  function formatBytes(bytes) {
    const units = ["bytes", "KiB", "MiB", "GiB", "TiB"];
    let unit = 0;
    while (bytes >= 1024 && unit < units.length - 1) {
      bytes /= 1024;
      unit++;
    }
    return (bytes >= 100 || unit === 0 ? Math.round(bytes * 100) / 100 : bytes.toFixed(2)) + " " + units[unit];
  }

  function layout() {
    rowPixels = Math.max(200, Math.floor(pane.clientWidth - 30));
    bytesPerPixel = clampScale(bytesPerPixel);
    const rowBytes = bytesPerPixel * rowPixels;
    for (const s of segments) {
      s.rows = Math.max(1, Math.ceil(s.data.size / rowBytes));
      s.svg.setAttribute("width", rowPixels);
      s.svg.setAttribute("height", s.rows * PITCH);
      s.drawn = "";
    }
    // A heap without a segment has no scale to show (the page says it has no segment).
    scaleLabel.textContent = totalBytes > 0 ? "1 px = " + formatBytes(bytesPerPixel) : "";
  }

  function fit() {
    rowPixels = Math.max(200, Math.floor(pane.clientWidth - 30));
    const rowsInView = Math.max(segments.length * 2, Math.floor(pane.clientHeight / PITCH) - 3 * segments.length);
    bytesPerPixel = clampScale(totalBytes / (rowPixels * rowsInView));
    layout();
    render();
  }

  function drawRows(s, first, last) {
    const rowBytes = bytesPerPixel * rowPixels;
    const end = s.starts[s.count];
    const parts = [];
    for (let row = first; row <= last; row++) {
      const rowStart = row * rowBytes;
      if (rowStart >= end) break;
      const rowEnd = Math.min(rowStart + rowBytes, end);
      const y = row * PITCH + 3;
      const pixels = Math.ceil((rowEnd - rowStart) / bytesPerPixel);
      let i = blockAt(s, rowStart);
      let runColour = "";
      let runStart = 0;
      const flush = (upTo) => {
        if (runColour !== "" && upTo > runStart) {
          parts.push('<rect x="' + runStart + '" y="' + y + '" width="' + (upTo - runStart) +
            '" height="' + ROW_HEIGHT + '" fill="' + runColour + '"/>');
        }
      };
      for (let px = 0; px < pixels;) {
        const from = rowStart + px * bytesPerPixel;
        const to = Math.min(from + bytesPerPixel, rowEnd);
        while (i < s.count - 1 && s.starts[i + 1] <= from) i++;
        let colour;
        let next;
        if (s.starts[i + 1] >= to) {
          colour = blockColour(s, i);
          next = Math.min(pixels, Math.max(px + 1, Math.floor((s.starts[i + 1] - rowStart) / bytesPerPixel)));
        } else {
          const bytesByKind = [0, 0, 0];
          for (let j = i; j < s.count && s.starts[j] < to; j++) {
            bytesByKind[s.kinds[j]] += Math.min(s.starts[j + 1], to) - Math.max(s.starts[j], from);
          }
          colour = blend(bytesByKind);
          next = px + 1;
        }
        if (colour !== runColour) {
          flush(px);
          runColour = colour;
          runStart = px;
        }
        px = next;
      }
      flush(pixels);
      for (const join of s.data.joins) {
        if (join >= rowStart && join < rowStart + rowBytes) {
          const x = Math.floor((join - rowStart) / bytesPerPixel);
          parts.push('<rect class="joined" x="' + Math.max(0, x - 1) + '" y="' + (y - 3) +
            '" width="3" height="' + (ROW_HEIGHT + 6) + '" fill="' + JOINED + '"/>');
        }
      }
    }
    s.svg.innerHTML = parts.join("");
  }

  function render() {
    const view = pane.getBoundingClientRect();
    for (const s of segments) {
      const box = s.svg.getBoundingClientRect();
      if (box.bottom < view.top - 100 || box.top > view.bottom + 100) {
        if (s.drawn !== "") s.svg.innerHTML = "";
        s.drawn = "";
        continue;
      }
      const first = Math.max(0, Math.floor((view.top - box.top) / PITCH) - 4);
      const last = Math.min(s.rows - 1, Math.ceil((view.bottom - box.top) / PITCH) + 4);
      const key = first + ":" + last;
      if (s.drawn === key) continue;
      s.drawn = key;
      drawRows(s, first, last);
    }
    document.body.dataset.rendered = String(segments.length);
  }

  // The segment and byte offset under a point of the screen, or null.
  function locate(clientX, clientY) {
    for (const s of segments) {
      const box = s.svg.getBoundingClientRect();
      if (clientY < box.top || clientY >= box.bottom) continue;
      const row = Math.floor((clientY - box.top) / PITCH);
      const x = Math.min(Math.max(0, clientX - box.left), rowPixels - 1);
      return { s, offset: (row * rowPixels + x) * bytesPerPixel, pixelFrom: (row * rowPixels + Math.floor(x)) * bytesPerPixel };
    }
    return null;
  }

  function classOf(bytes) {
    if (bytes >= 1073741824) return 1472;
    const top = 31 - Math.clz32(bytes);
    if (top < 9) return bytes >> 2;
    return 64 * (top - 7) + ((bytes - 2 ** top) >> (top - 6));
  }

  function describe(place) {
    const s = place.s;
    if (place.offset >= s.starts[s.count]) {
      return place.offset < s.data.size ? "end marker of segment " + s.data.index : "";
    }
    const i = blockAt(s, place.offset);
    const payload = s.data.units[i] * HEAP.unit;
    const kind = s.kinds[i];
    const lines = [
      "Block at 0x" + (s.data.base + s.starts[i]).toString(16) + ", payload at 0x" +
        (s.data.base + s.starts[i] + HEAP.header).toString(16),
      "payload " + payload + " bytes (" + formatBytes(payload) + ")",
      "state   " + STATE[kind],
      "class   " + (kind === 2 ? "none" : classOf(payload)),
    ];
    const pixelTo = place.pixelFrom + bytesPerPixel;
    if (s.starts[i] > place.pixelFrom || s.starts[i + 1] < pixelTo) {
      const counts = [0, 0, 0];
      let j = blockAt(s, place.pixelFrom);
      let seen = 0;
      for (; j < s.count && s.starts[j] < pixelTo && seen < 100000; j++, seen++) counts[s.kinds[j]]++;
      if (seen > 1) {
        lines.push("this pixel holds " + seen + " Blocks: " + counts[0] + " allocated, " + counts[1] +
          " free, " + counts[2] + " fragments; zoom in to see each");
      }
    }
    return lines.join("\n");
  }

  function zoom(factor, clientX, clientY) {
    const place = locate(clientX, clientY);
    bytesPerPixel = clampScale(bytesPerPixel * factor);
    layout();
    if (place) {
      const box = place.s.svg.getBoundingClientRect();
      const row = Math.floor(place.offset / (bytesPerPixel * rowPixels));
      pane.scrollTop += box.top + row * PITCH + PITCH / 2 - clientY;
    }
    render();
  }

  const centre = () => {
    const box = pane.getBoundingClientRect();
    return [box.left + box.width / 2, box.top + box.height / 2];
  };
  document.getElementById("zoom-in").addEventListener("click", () => zoom(0.5, ...centre()));
  document.getElementById("zoom-out").addEventListener("click", () => zoom(2, ...centre()));
  document.getElementById("zoom-fit").addEventListener("click", fit);

  let pointer = centre();
  pane.addEventListener("wheel", (event) => {
    if (!event.ctrlKey) return;
    event.preventDefault();
    zoom(event.deltaY > 0 ? 2 : 0.5, event.clientX, event.clientY);
  }, { passive: false });
  document.addEventListener("keydown", (event) => {
    if (event.key === "+" || event.key === "=") zoom(0.5, ...pointer);
    else if (event.key === "-") zoom(2, ...pointer);
    else if (event.key === "0") fit();
  });

  let drag = null;
  pane.addEventListener("mousedown", (event) => {
    if (event.button !== 0) return;
    drag = { x: event.clientX, y: event.clientY };
    pane.classList.add("dragging");
  });
  window.addEventListener("mouseup", () => {
    drag = null;
    pane.classList.remove("dragging");
  });
  pane.addEventListener("mousemove", (event) => {
    pointer = [event.clientX, event.clientY];
    if (drag) {
      pane.scrollLeft -= event.clientX - drag.x;
      pane.scrollTop -= event.clientY - drag.y;
      drag = { x: event.clientX, y: event.clientY };
      tip.hidden = true;
      return;
    }
    const place = event.target.closest && event.target.closest("svg.strip") ? locate(event.clientX, event.clientY) : null;
    const text = place ? describe(place) : "";
    tip.hidden = text === "";
    if (text === "") return;
    tip.textContent = text;
    const left = Math.min(event.clientX + 14, window.innerWidth - tip.offsetWidth - 4);
    const top = event.clientY + 16 + tip.offsetHeight > window.innerHeight ? event.clientY - tip.offsetHeight - 8 : event.clientY + 16;
    tip.style.left = left + "px";
    tip.style.top = top + "px";
  });
  pane.addEventListener("mouseleave", () => {
    tip.hidden = true;
  });

  let pending = false;
  pane.addEventListener("scroll", () => {
    if (pending) return;
    pending = true;
    requestAnimationFrame(() => {
      pending = false;
      render();
    });
  });
  window.addEventListener("resize", () => {
    layout();
    render();
  });
  fit();
  // "#zoom=N" opens the page N steps in, at the first segment's start: for links and screenshots.
  const zoomSteps = /zoom=(\d+)/.exec(location.hash);
  if (zoomSteps && segments.length > 0) {
    for (let step = 0; step < Number(zoomSteps[1]); step++) {
      const box = segments[0].svg.getBoundingClientRect();
      zoom(0.5, box.left + 1, box.top + 1);
    }
  }
})();
