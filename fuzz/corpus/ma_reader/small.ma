createNode glintWeave -n "g";
	setAttr ".c" -type "float3" 0.2 0.4 0.8 ;
	setAttr ".rfs" 3;
connectAttr "f.oc" "g.cr";
