//Maya ASCII 2008 scene
//Name: shot.ma
//Last modified: Tue, Mar 04, 2008 11:42:17 AM
//Codeset: 1252
requires maya "2008";
requires "glintWeave" "1.0";
currentUnit -l centimeter -a degree -t film;
fileInfo "application" "maya";
fileInfo "product" "Maya Unlimited 2008";
fileInfo "version" "2008 Extension 2";
fileInfo "osv" "Microsoft Windows XP Service Pack 2 (Build 2600)\n";
createNode transform -s -n "persp";
	setAttr ".v" no;
	setAttr ".t" -type "double3" 28 21 28 ;
	setAttr ".r" -type "double3" -27.938352729602379 44.999999999999972 0 ;
createNode camera -s -n "perspShape" -p "persp";
	setAttr -k off ".v" no;
	setAttr ".fl" 34.999999999999993;
	setAttr ".coi" 44.82186966202994;
	setAttr ".imn" -type "string" "persp";
	setAttr ".hc" -type "string" "viewSet -p %camera;";
createNode transform -n "pSphere1";
createNode mesh -n "pSphereShape1" -p "pSphere1";
	setAttr -k off ".v";
	setAttr ".vir" yes;
	setAttr ".uvst[0].uvsn" -type "string" "map1";
	setAttr -s 4 ".vt[0:3]"  -0.5 -0.5 0.5 0.5 -0.5 0.5
		 -0.5 0.5 0.5 0.5 0.5 0.5;
createNode glintWeave -n "brushedSteel";
	setAttr ".c" -type "float3" 0.78 0.78 0.8 ;
	setAttr ".dfl" 0.12;
	setAttr ".su" 600;
	setAttr ".sv" 12;
	setAttr ".sp" 0.85000002;
	setAttr ".rfs" 6;
createNode shadingEngine -n "glintWeave1SG";
	setAttr ".ihi" 0;
	setAttr ".ro" yes;
createNode materialInfo -n "materialInfo1";
createNode glintWeave -n "satinRed";
	addAttr -ci true -sn "notes" -ln "notes" -dt "string";
	setAttr ".color" -type "float3"
		0.6 0.1
		0.16 ;
	setAttr ".cg" 0.125;
	setAttr ".specularV" 90;
	setAttr ".ambientColorB" 1e-05;
	setAttr ".rfly" -0;
	setAttr -k on ".it";
	setAttr ".notes" -type "string" "approved; see review // 12";
	setAttr ".ihi" 0;
createNode file -n "file1";
	setAttr ".ftn" -type "string" "/textures/weave;1.tif";
select -ne :time1;
	setAttr ".o" 1;
select -ne :defaultShaderList1;
	setAttr -s 4 ".s";
select -ne :renderPartition;
	setAttr -s 3 ".st";
select -ne brushedSteel;
	setAttr ".rfly" 0.5;
connectAttr "brushedSteel.oc" "glintWeave1SG.ss";
connectAttr "file1.oc" "satinRed.c";
connectAttr "file1.oa" "satinRed.sp";
connectAttr "file1.outAlpha" "satinRed.incandescence.incandescenceG";
connectAttr "brushedSteel.msg" ":defaultShaderList1.s" -na;
connectAttr "glintWeave1SG.msg" "materialInfo1.sg";
relationship "link" ":lightLinker1" ":initialShadingGroup.message" ":defaultLightSet.message";
relationship "shadowLink" ":lightLinker1" "glintWeave1SG.message" ":defaultLightSet.message";
// End of shot.ma
