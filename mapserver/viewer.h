#pragma once
// The MapServer 8 export's viewer page: its style sheet and its script (plain JavaScript,
// nothing fetched from elsewhere). index.html defines NABIK = {wms, extent, layers} before the
// script runs; the script draws the checked layers through WMS GetMap in EPSG:3857, pans by
// dragging, zooms with the wheel and the buttons, fits the whole extent and shows the scale.
// After each image has arrived it counts up document.body.dataset.drawn.
const char* ViewerStyle();
const char* ViewerScript();
