// Charts the figures of TIMELINE (written into the page beside this script) over the call index:
// three charts that share one horizontal axis, zoomed with the wheel, panned by dragging.
"use strict";
(function () {
  window.addEventListener("error", (event) => {
    document.body.dataset.error = String(event.message);
  });
  const T = TIMELINE;
  const count = T.call.length;
  // Max free is -1 where the replay did not walk the heap: those points are left out of its lines.
  const maxFree = T.maxFree.map((free) => (free < 0 ? NaN : free));
  const fragmentation = maxFree.map((free, i) => (free > 0 ? (T.totalSize[i] * 100) / free - 100 : NaN));
  const charts = [
    { title: "bytes", format: bytes, series: [
      ["total alloc", T.totalAlloc, "#2654be"], ["total free", T.totalFree, "#3c9a3c"],
      ["max free", maxFree, "#e08a00"]] },
    { title: "fragmentation", format: (v) => v.toFixed(2) + "%", series: [["fragmentation", fragmentation, "#c8283c"]] },
    { title: "live Blocks", whole: true, format: String, series: [["live (allocated) Blocks", T.liveBlocks, "#2654be"]] },
    { title: "segments", whole: true, format: String, series: [["segments", T.segments, "#777"]] },
  ];
  const HEIGHT = 150;
  const LEFT = 70;
  const RIGHT = 14;
  const container = document.getElementById("charts");
  const tip = document.getElementById("tip");
  let width = 800;
  let from = count > 0 ? T.call[0] : 0;
  let to = count > 0 ? T.call[count - 1] : 1;
  if (to <= from) to = from + 1;
  const whole = [from, to];

  function bytes(value) {
    const units = ["B", "KiB", "MiB", "GiB", "TiB"];
    let unit = 0;
    while (Math.abs(value) >= 1024 && unit < units.length - 1) {
      value /= 1024;
      unit++;
    }
    return (unit === 0 ? String(Math.round(value)) : value.toFixed(1)) + " " + units[unit];
  }

  for (const chart of charts) {
    const section = document.createElement("section");
    section.className = "chart";
    const heading = document.createElement("h2");
    heading.innerHTML = chart.series.map((s) => '<span><i style="background:' + s[2] + '"></i>' + s[0] + "</span>").join("");
    section.appendChild(heading);
    chart.svg = document.createElementNS("http://www.w3.org/2000/svg", "svg");
    chart.svg.setAttribute("height", HEIGHT);
    section.appendChild(chart.svg);
    container.appendChild(section);
  }

  const xOf = (call) => LEFT + ((call - from) / (to - from)) * (width - LEFT - RIGHT);
  const callAt = (x) => from + ((x - LEFT) / (width - LEFT - RIGHT)) * (to - from);

  // The first index whose call is at or after `call`.
  function indexAt(call) {
    let low = 0;
    let high = count;
    while (low < high) {
      const middle = (low + high) >> 1;
      if (T.call[middle] < call) low = middle + 1;
      else high = middle;
    }
    return low;
  }

  function draw() {
    const style = getComputedStyle(container);
    width = Math.max(300, container.clientWidth - parseFloat(style.paddingLeft) - parseFloat(style.paddingRight));
    const first = Math.max(0, indexAt(from) - 1);
    const last = Math.min(count - 1, indexAt(to));
    for (const chart of charts) {
      let top = 0;
      for (const s of chart.series) {
        for (let i = first; i <= last; i++) if (s[1][i] > top) top = s[1][i];
      }
      if (!(top > 0)) top = 1;
      const yOf = (v) => HEIGHT - 18 - (v / top) * (HEIGHT - 28);
      const parts = ['<line x1="' + LEFT + '" y1="' + (HEIGHT - 18) + '" x2="' + (width - RIGHT) + '" y2="' + (HEIGHT - 18) + '" stroke="#bbb"/>'];
      // A count is labelled at whole values only, each where it lies: halfway up a scale of 1 is no count.
      const levels = chart.whole ? [...new Set([0, Math.round(top / 2), top])] : [0, top / 2, top];
      for (const level of levels) {
        parts.push('<text x="' + (LEFT - 6) + '" y="' + (yOf(level) + 4) + '" text-anchor="end">' + chart.format(level) + "</text>");
      }
      for (const fraction of [0, 0.25, 0.5, 0.75, 1]) {
        const call = from + (to - from) * fraction;
        // The last label ends at the axis's end rather than running past the chart's edge.
        const anchor = fraction === 1 ? "end" : "middle";
        parts.push('<text x="' + xOf(call) + '" y="' + (HEIGHT - 4) + '" text-anchor="' + anchor + '">' + Math.round(call) + "</text>");
      }
      if (T.peakCall >= from && T.peakCall <= to) {
        parts.push('<line x1="' + xOf(T.peakCall) + '" y1="4" x2="' + xOf(T.peakCall) + '" y2="' + (HEIGHT - 18) + '" stroke="#c8283c" stroke-dasharray="3,3"/>');
      }
      for (const s of chart.series) {
        let path = "";
        for (let i = first; i <= last; i++) {
          const v = s[1][i];
          if (Number.isNaN(v)) continue;
          path += (path === "" ? "M" : "L") + xOf(T.call[i]).toFixed(1) + " " + yOf(v).toFixed(1);
        }
        parts.push('<path d="' + path + '" fill="none" stroke="' + s[2] + '" stroke-width="1.5"/>');
      }
      parts.push('<line class="cursor" x1="-10" x2="-10" y1="4" y2="' + (HEIGHT - 18) + '" stroke="#333"/>');
      chart.svg.setAttribute("width", width);
      chart.svg.innerHTML = parts.join("");
    }
    document.body.dataset.rendered = String(charts.length);
  }

  function zoomAt(x, factor) {
    const anchor = callAt(x);
    let span = (to - from) * factor;
    span = Math.max(Math.min(span, whole[1] - whole[0]), 4);
    from = anchor - ((anchor - from) / (to - from)) * span;
    to = from + span;
    if (from < whole[0]) {
      to += whole[0] - from;
      from = whole[0];
    }
    if (to > whole[1]) {
      from -= to - whole[1];
      to = whole[1];
    }
    draw();
  }

  container.addEventListener("wheel", (event) => {
    event.preventDefault();
    const box = container.getBoundingClientRect();
    zoomAt(event.clientX - box.left, event.deltaY > 0 ? 1.5 : 1 / 1.5);
  }, { passive: false });
  container.addEventListener("dblclick", () => {
    [from, to] = whole;
    draw();
  });
  let drag = null;
  container.addEventListener("mousedown", (event) => {
    drag = event.clientX;
  });
  window.addEventListener("mouseup", () => {
    drag = null;
  });
  container.addEventListener("mousemove", (event) => {
    const box = container.getBoundingClientRect();
    if (drag !== null) {
      const shift = ((drag - event.clientX) / (width - LEFT - RIGHT)) * (to - from);
      const span = to - from;
      from = Math.min(Math.max(whole[0], from + shift), whole[1] - span);
      to = from + span;
      drag = event.clientX;
      draw();
      return;
    }
    if (count === 0) return;
    const i = Math.min(count - 1, indexAt(callAt(event.clientX - box.left)));
    for (const chart of charts) {
      const line = chart.svg.querySelector(".cursor");
      line.setAttribute("x1", xOf(T.call[i]));
      line.setAttribute("x2", xOf(T.call[i]));
    }
    tip.hidden = false;
    tip.textContent = "after call " + T.call[i] + " (log line " + T.line[i] + ")\n" +
      "total alloc   " + bytes(T.totalAlloc[i]) + "\ntotal free    " + bytes(T.totalFree[i]) +
      "\nmax free      " + (Number.isNaN(maxFree[i]) ? "not walked here" : bytes(maxFree[i])) + "\nfragmentation " +
      (Number.isNaN(fragmentation[i]) ? "n/a" : fragmentation[i].toFixed(2) + "%") +
      "\nsegments      " + T.segments[i] + "\nlive Blocks   " + T.liveBlocks[i];
    tip.style.left = Math.min(event.clientX + 14, window.innerWidth - tip.offsetWidth - 4) + "px";
    tip.style.top = event.clientY + 16 + "px";
  });
  container.addEventListener("mouseleave", () => {
    tip.hidden = true;
  });
  window.addEventListener("resize", draw);
  draw();
})();
