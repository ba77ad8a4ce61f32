<?php
$map_file="list.map"; //mapfile–¼
?>
