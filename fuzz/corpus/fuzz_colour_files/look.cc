<?xml version="1.0" encoding="UTF-8"?>
<ColorCorrection xmlns="urn:ASC:CDL:v1.2" id="Warm &amp; day">
    <InputDescription>rec709</InputDescription>
    <SOPNode>
        <Slope>1.1 1 0.9</Slope>
        <Offset>0.01 0 -0.02</Offset>
        <Power>1 1.05 1</Power>
    </SOPNode>
    <SatNode>
        <Saturation>1.2</Saturation>
    </SatNode>
</ColorCorrection>
