// The material model as the preview names it: the inputs, values, presets
// and hosts of tools/material (read from the deliverables themselves), in
// the preview's namespace. A Material holds one value per input of the
// schema it was made with; each host backend hands over the inputs its
// deliverable has and leaves out the others. Nothing here loads a
// deliverable: the caller loads the schema once (gws::loadMaterialSchema)
// and passes it.
#pragma once

#include "presets.h"
#include "schema.h"
#include "schemas.h"

namespace gwp {

using gws::applyPreset;
using gws::applySetting;
using gws::findPreset;
using gws::floorMaterial;
using gws::formatValue;
using gws::Host;
using gws::hostName;
using gws::kDefaultPreset;
using gws::kHosts;
using gws::Material;
using gws::MaterialInput;
using gws::MaterialSchema;
using gws::parseValue;
using gws::Preset;
using gws::presets;
using gws::Value;
using gws::ValueKind;

}  // namespace gwp
