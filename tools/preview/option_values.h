// The values of the command line's options: how each is read, and the
// checks CLI11 runs while parsing, each giving the tool's own one-line
// message ("" when the value is good).
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "backend.h"
#include "options.h"

namespace gwp {

// An integer in [lo, hi]; `what` names the option in the message.
bool parseInt(const std::string& text, long lo, long hi, const char* what, int& out,
              std::string& error);
// A finite number in [lo, hi]; `what` names the option in the message.
bool parseFloat(const std::string& text, float lo, float hi, const char* what, float& out,
                std::string& error);
// "WIDTHxHEIGHT", each within the size limits.
bool parseSize(const std::string& text, int& w, int& h, std::string& error);
// "name=v1,v2,..." into `sweep`, checked against `schema`.
bool parseSweep(const MaterialSchema& schema, const std::string& text, Sweep& sweep,
                std::string& error);
// "maya", "mentalray" or "both".
bool parseHost(const std::string& text, std::vector<Host>& hosts);

bool hostHas(const MaterialSchema& schema, Host host, size_t id);
// "maya | mentalray"
std::string hostList(const std::vector<Host>& hosts);

// A check of one value: "" when it is good, else the whole message.
using ValueCheck = std::function<std::string(const std::string&)>;

ValueCheck checkIntIn(long lo, long hi, const char* what);
ValueCheck checkFloatIn(float lo, float hi, const char* what);
std::string checkSize(const std::string& text);
std::string checkHost(const std::string& text);
std::string checkLightSamples(const std::string& text);  // N or auto
std::string checkPreset(const std::string& text);
std::string checkFormat(const std::string& text);  // png or exr

// The extension of the path's file name, lower case, without the dot ("" for none).
std::string extensionOf(const std::string& path);

}  // namespace gwp
