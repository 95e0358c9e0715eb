// Scene files in: the glintWeave materials of a Maya ASCII file (.ma) and of
// a mental ray scene file (.mi), read against the deliverables' schemas.
//
// Maya ASCII: statements ended by ';' (over any number of lines), '//'
// comments, double-quoted strings with backslash escapes. Read:
//   createNode TYPE [-n NAME] [-p PARENT] [-s] [-ss]   (the node later
//                  setAttr and addAttr statements apply to)
//   select -ne NAME                                     (likewise)
//   setAttr [-k B] [-l B] [-cb B] [-s N] [-av] [-ca B] [-c] [-ch N]
//           [-type TYPE] "PLUG" VALUES...
//   addAttr ... -ln NAME [-sn NAME] ...                 (a dynamic attribute)
//   connectAttr "SRC.PLUG" "DST.PLUG" [-na] [-f] [-l B]
// On a node of the plug-in's type, plugs are named by long or short name,
// a colour or vector whole (three numbers) or one child at a time; every
// other name the node has (outputs, render state, Maya's own attributes,
// attributes added by addAttr) is passed over; any other name is an error.
// Every other statement (requires, currentUnit, fileInfo, relationship,
// file, lockNode, ...) and every statement about another node is skipped.
//
// mental ray: '#' comments, quoted strings. Read:
//   shader "NAME" "TYPE" ( "param" VALUE, ... )   of the shader's type: colours
//        as 3 or 4 numbers, vectors as 3, scalars, integers, booleans as
//        on/off/true/false/1/0, "param" = "otherShader" (a connection), and
//        "light" [ "l1", ... ] (recorded, not used). Shaders of other types
//        are skipped.
//   declare shader ... end declare   of the shader's name: compared with the
//        installed declaration; a difference is a warning. Others skipped.
// Skipped: link, verbose, set, $include (not followed), $ifdef, $ifndef,
// $else, $endif, incremental, and every block by its own end keyword:
// options, camera, object, instance, instgroup, light, material,
// lightprofile, userdata, data, namespace, phenomenon declarations.
//
// Both readers walk the text once (linear time) and keep nothing of it but
// the materials they found, so mapped files are read in bounded memory.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "schema.h"

namespace gws {

// An input fed by another node or shader. The stored (or default) value
// stays in the material; the connection is reported.
struct Connection {
  size_t input = 0;    // index into the material schema
  int component = -1;  // 0..2 for one child of a colour or vector, -1 for the whole
  std::string source;  // "file1.outColor", "myTexture"
};

struct SceneMaterial {
  std::string name;  // the node's or the shader instance's name
  Host host = Host::kMaya;
  // Values as the file gives them; inputs the file does not set (and those
  // only the other host has) keep their defaults.
  Material material;
  std::vector<Connection> connections;
  std::vector<std::string> lights;  // mental ray: the "light" array, not used
  uint32_t line = 0, column = 0;    // where the node or shader is created
};

struct SceneFile {
  std::string path;
  Host host = Host::kMaya;
  std::vector<SceneMaterial> materials;
  // "FILE:LINE:COL: warning: ..." lines, e.g. a declaration that differs
  // from the installed one.
  std::vector<std::string> warnings;
};

struct ReadOptions {
  // Called now and then with the bytes read so far and the total.
  std::function<void(size_t done, size_t total)> progress;
};

// The host a file belongs to by its extension (.ma or .mi, any case). False
// for any other extension.
bool hostOfPath(const std::string& path, Host& host);

// Reads the scene at `path` (its host from its extension). False with one
// line "FILE:LINE:COL: message" in `error` (LINE and COL are 0 when the
// problem is the whole file: unreadable, or holding no glintWeave material).
// The schema must have the file's host.
bool readScene(const std::string& path, const std::shared_ptr<const MaterialSchema>& schema,
               SceneFile& out, std::string& error, const ReadOptions& options = {});

// The same from text in memory; `name` stands for the file in messages.
bool readMayaAscii(std::string_view text, const std::string& name,
                   const std::shared_ptr<const MaterialSchema>& schema, SceneFile& out,
                   std::string& error, const ReadOptions& options = {});
bool readMentalRay(std::string_view text, const std::string& name,
                   const std::shared_ptr<const MaterialSchema>& schema, SceneFile& out,
                   std::string& error, const ReadOptions& options = {});

// The listing `--scene FILE --list` prints, one line per material:
//   NAME INPUT=VALUE INPUT=VALUE ...
// with every input of the file's host in the host's order, by long name,
// values in the --set form (formatValue), and "<-SOURCE" right after the
// value of a connected input (several sources, for single components, as
// "<-CHILD:SOURCE,CHILD:SOURCE"). A name or source that is not made of
// letters, digits and _ : | . [ ] - is written in double quotes with \" and
// \\ escaped. Fields are separated by one space; lines end with '\n'.
std::string listMaterial(const SceneMaterial& m, const MaterialSchema& schema);

}  // namespace gws
