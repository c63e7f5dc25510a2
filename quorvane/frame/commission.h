// Commissioning a headless gateway from a terminal: the address space of an
// OPC server as an indented tree (--browse), and a configuration file tried
// out item by item (--check). Both go through Ostrand's C interface only.
#pragma once

#include "model/quorvane_model.h"

#include <cstdio>
#include <string>
#include <vector>

namespace quorvane {

class CQuorvaneApp;

// Exit codes of --check (and of --browse, which knows no "bad items").
constexpr int kCommissionAllGood = 0;
constexpr int kCommissionNotGood = 1;
constexpr int kCommissionNoServer = 2;

struct BrowseNode {
    int level = 0;         // 0: directly below the starting node
    std::string name;      // browse name
    std::string id;        // NodeId text, "" when the server named none
    bool branch = false;   // an object (folder) rather than a variable
    std::string type;      // variables: data type, "?" when not told
    int access = -1;       // variables: bit 1 read, bit 2 write; -1 not told
};

// One line per node, indented by two blanks per level:
// "  Double  ns=1;s=Double  Double  read/write".
std::string FormatBrowseTree(const std::vector<BrowseNode>& nodes);

// Connects to `url` (security from the endpoint list, as a connection does),
// walks the branches below the dotted path `node` ("" the Objects folder) at
// most `depth` levels deep, asks each variable's type and access, prints the
// tree to `out` and why it failed to `err`. Initialises and stops Ostrand
// itself. Exit code: 0, 1 for a node that is no branch, 2 when the server
// cannot be reached.
int RunBrowse(const std::string& url, const std::string& node, int depth, std::FILE* out, std::FILE* err);

struct CheckRow {
    std::string group, itemId, status, value, point;
    bool good = false;
};

// The items of every open group, in order; an item is good once the server
// reported it with good quality.
std::vector<CheckRow> CollectCheckRows(const CQuorvaneModel& model);
// Whether the server reported every item (good or not).
bool EveryItemReported(const CQuorvaneModel& model);
// A header and one tab-separated row per item.
std::string FormatCheckRows(const std::vector<CheckRow>& rows);

// Restores `file` with `app` (already started without a file), waits up to
// `seconds` for the server and then for every item to report, prints the rows
// to `out` and answers the exit code.
int RunCheck(CQuorvaneApp& app, const std::string& file, int seconds, std::FILE* out, std::FILE* err);

} // namespace quorvane
