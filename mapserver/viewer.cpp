#include "mapserver/viewer.h"

const char* ViewerStyle() {
  return R"js(html, body { margin: 0; height: 100%; font-family: sans-serif; font-size: 14px; }
body { display: flex; }
#side { width: 220px; padding: 8px; box-sizing: border-box; overflow-y: auto;
        border-right: 1px solid #999; background: #f4f4f4; }
#side h1 { font-size: 16px; margin: 0 0 8px; }
#tools button { min-width: 40px; margin-right: 4px; }
#scale { margin: 8px 0; }
#layers { list-style: none; padding: 0; margin: 0; }
#layers li { margin: 3px 0; }
#layers label { display: flex; align-items: center; gap: 4px; cursor: pointer; }
.swatch { display: inline-block; width: 14px; height: 14px; border: 1px solid #666; }
#map { flex: 1; position: relative; overflow: hidden; background: #fff; cursor: grab; }
#map img { position: absolute; left: 0; top: 0; user-select: none; }
)js";
}

const char* ViewerScript() {
  return R"js(// The map viewer: WMS GetMap through the mapserv CGI, in EPSG:3857.
"use strict";
(function () {
  const R = 6378137;
  const mapDiv = document.getElementById("map");
  const image = document.getElementById("image");
  const scaleText = document.getElementById("scale");
  const list = document.getElementById("layers");
  let centre = [0, 0];  // metres
  let resolution = 1;   // metres per pixel
  let shown = null;     // centre and resolution of the image on screen
  let pending = 0;
  document.body.dataset.drawn = "0";

  function toMercator(lon, lat) {
    const y = Math.log(Math.tan(Math.PI / 4 + lat * Math.PI / 360)) * R;
    return [lon * Math.PI / 180 * R, y];
  }
  function latitude(y) {
    return (2 * Math.atan(Math.exp(y / R)) - Math.PI / 2) * 180 / Math.PI;
  }
  function size() {
    return [Math.max(1, mapDiv.clientWidth), Math.max(1, mapDiv.clientHeight)];
  }

  const boxes = [];
  for (const layer of NABIK.layers) {
    const item = document.createElement("li");
    const label = document.createElement("label");
    const box = document.createElement("input");
    box.type = "checkbox";
    box.checked = true;
    box.id = "layer-" + layer.name;
    box.value = layer.name;
    box.addEventListener("change", draw);
    const swatch = document.createElement("span");
    swatch.className = "swatch";
    if (layer.color) swatch.style.background = "rgb(" + layer.color.trim().split(/\s+/).join(",") + ")";
    label.append(box, swatch, document.createTextNode(layer.title || layer.name));
    item.append(label);
    list.append(item);
    boxes.push(box);
  }

  function showScale() {
    // Mercator stretches by 1 / cos(latitude); 0.28 mm per pixel as OGC counts it.
    const ground = resolution * Math.cos(latitude(centre[1]) * Math.PI / 180);
    scaleText.textContent = "縮尺 1:" + Math.round(ground / 0.00028).toLocaleString("ja-JP");
  }

  function draw() {
    showScale();
    const [w, h] = size();
    const layers = boxes.filter(b => b.checked).map(b => b.value);
    const ticket = ++pending;
    const view = {centre: centre.slice(), resolution: resolution};
    const done = () => {
      if (ticket !== pending) return;
      shown = view;
      image.style.transform = "";
      document.body.dataset.drawn = String(Number(document.body.dataset.drawn) + 1);
    };
    if (layers.length === 0) {
      image.removeAttribute("src");
      image.style.visibility = "hidden";
      done();
      return;
    }
    const box = [centre[0] - w / 2 * resolution, centre[1] - h / 2 * resolution,
                 centre[0] + w / 2 * resolution, centre[1] + h / 2 * resolution];
    const url = NABIK.wms + "SERVICE=WMS&VERSION=1.1.1&REQUEST=GetMap&STYLES=&SRS=EPSG:3857" +
        "&FORMAT=image/png&LAYERS=" + encodeURIComponent(layers.join(",")) +
        "&BBOX=" + box.map(v => v.toFixed(3)).join(",") + "&WIDTH=" + w + "&HEIGHT=" + h;
    const next = new Image();
    next.onload = () => {
      if (ticket !== pending) return;
      image.src = next.src;
      image.style.visibility = "visible";
      done();
    };
    next.onerror = () => {
      if (ticket !== pending) return;
      scaleText.textContent += "（地図を取得できません）";
      done();
    };
    next.src = url;
  }

  // Moves the image on screen as a preview until the new one arrives.
  function preview() {
    if (!shown) return;
    const [w, h] = size();
    const k = shown.resolution / resolution;
    const dx = (shown.centre[0] - centre[0]) / resolution + w / 2 * (1 - k);
    const dy = (centre[1] - shown.centre[1]) / resolution + h / 2 * (1 - k);
    image.style.transformOrigin = "0 0";
    image.style.transform = "translate(" + dx + "px," + dy + "px) scale(" + k + ")";
  }

  function fit() {
    const [w, h] = size();
    const low = toMercator(NABIK.extent[0], NABIK.extent[1]);
    const high = toMercator(NABIK.extent[2], NABIK.extent[3]);
    centre = [(low[0] + high[0]) / 2, (low[1] + high[1]) / 2];
    resolution = Math.max((high[0] - low[0]) / w, (high[1] - low[1]) / h, 0.01) * 1.05;
    draw();
  }

  // Zooms by `factor` (2 = in) keeping the point at pixel (x, y) of the map where it is.
  function zoom(factor, x, y) {
    const [w, h] = size();
    if (x === undefined) [x, y] = [w / 2, h / 2];
    const px = centre[0] + (x - w / 2) * resolution;
    const py = centre[1] - (y - h / 2) * resolution;
    resolution /= factor;
    centre = [px - (x - w / 2) * resolution, py + (y - h / 2) * resolution];
    preview();
    draw();
  }

  let drag = null;
  mapDiv.addEventListener("mousedown", e => {
    if (e.button !== 0) return;
    drag = {x: e.clientX, y: e.clientY, centre: centre.slice()};
    mapDiv.style.cursor = "grabbing";
    e.preventDefault();
  });
  window.addEventListener("mousemove", e => {
    if (!drag) return;
    centre = [drag.centre[0] - (e.clientX - drag.x) * resolution,
              drag.centre[1] + (e.clientY - drag.y) * resolution];
    preview();
  });
  window.addEventListener("mouseup", () => {
    if (!drag) return;
    const moved = drag.centre[0] !== centre[0] || drag.centre[1] !== centre[1];
    drag = null;
    mapDiv.style.cursor = "";
    if (moved) draw();
  });
  let wheelTimer = 0;
  mapDiv.addEventListener("wheel", e => {
    e.preventDefault();
    const r = mapDiv.getBoundingClientRect();
    const x = e.clientX - r.left, y = e.clientY - r.top;
    const [w, h] = size();
    const px = centre[0] + (x - w / 2) * resolution;
    const py = centre[1] - (y - h / 2) * resolution;
    resolution *= Math.pow(2, Math.sign(e.deltaY) / 2);
    centre = [px - (x - w / 2) * resolution, py + (y - h / 2) * resolution];
    preview();
    showScale();
    clearTimeout(wheelTimer);
    wheelTimer = setTimeout(draw, 150);
  }, {passive: false});
  document.getElementById("zoomin").addEventListener("click", () => zoom(2));
  document.getElementById("zoomout").addEventListener("click", () => zoom(0.5));
  document.getElementById("fit").addEventListener("click", fit);
  let resizeTimer = 0;
  window.addEventListener("resize", () => {
    clearTimeout(resizeTimer);
    resizeTimer = setTimeout(draw, 150);
  });
  fit();
})();
)js";
}
