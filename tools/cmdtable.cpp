// cmdtable: the command table of proto/testmsg.h for the other languages.
//
// The Wireshark dissector and the Python test helpers hold the frame layout
// and the command table between two marker lines ("BEGIN cmdtable KIND",
// "END cmdtable KIND").  This program writes those blocks from the header
// the agent is built with, or checks that they are up to date:
//
//   cmdtable --check SRCDIR    exit 1, naming each stale block
//   cmdtable --update SRCDIR   rewrite the stale blocks
//   cmdtable --print KIND      print one block
//
// The build runs the check as a test; "cmake --build BUILD --target
// command-tables" runs the update.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "proto/testmsg.h"

namespace {

struct Row {
    uint8_t code;
    const char *name;  // without CMD_
    const char *word;
    size_t need;       // captured frame bytes
    ReplyForm form;
};

const Row kRows[] = {
#define CMDTABLE_ROW(code, name, word, need, run, form) {code, #name + 4, word, need, form},
    RFPROBE_COMMANDS(CMDTABLE_ROW)
#undef CMDTABLE_ROW
};

std::string hexCode(uint8_t code) {
    char b[8];
    snprintf(b, sizeof b, "0x%02X", code);
    return b;
}

const char *formName(ReplyForm f) { return f == kReplyParams ? "params" : "short"; }

std::string lua() {
    std::ostringstream o;
    o << "local REQ_PORT_DEFAULT, REPLY_PORT_DEFAULT = " << kTestReqPort << ", " << kTestReplyPort
      << "\nlocal MAGIC = \"";
    for (uint8_t b : kTestMagic) {
        char h[3];
        snprintf(h, sizeof h, "%02x", b);
        o << h;
    }
    o << "\"\nlocal REQ_LEN, REPLY_LEN = " << kReqPayloadLen << ", " << kReplyPayloadLen
      << "\nlocal OFF_CMD, OFF_BYTE, OFF_V1, OFF_V2, OFF_V3, OFF_CHAIN = " << kMsgOffCmd << ", "
      << kMsgOffByte << ", " << kMsgOffValue1 << ", " << kMsgOffValue2 << ", " << kMsgOffValue3
      << ", " << kMsgOffChain << "\n-- Payload bytes a request needs before its code can be read.\n"
      << "local NEED_CMD = " << kNeedCmd - kFramePayloadOff << "\n\n"
      << "-- code -> { station word, payload bytes the request needs (the agent drops\n"
         "-- a shorter one), reply form, name }\nlocal commands = {\n";
    for (const Row &r : kRows)
        o << "    [" << hexCode(r.code) << "] = { \"" << r.word << "\", "
          << r.need - kFramePayloadOff << ", \"" << formName(r.form) << "\", \"" << r.name
          << "\" },\n";
    o << "}\n";
    return o.str();
}

std::string pythonRfmsg() {
    std::ostringstream o;
    o << "REQ_PORT = " << kTestReqPort << "\nREPLY_PORT = " << kTestReplyPort << "\nMAGIC = b\"";
    for (uint8_t b : kTestMagic) {
        if (b >= 0x20 && b < 0x7F && b != '"' && b != '\\') {
            o << (char)b;
        } else {
            char h[5];
            snprintf(h, sizeof h, "\\x%02x", b);
            o << h;
        }
    }
    char mac[18];
    snprintf(mac, sizeof mac, "%02x:%02x:%02x:%02x:%02x:%02x", kReplySrcMac[0], kReplySrcMac[1],
             kReplySrcMac[2], kReplySrcMac[3], kReplySrcMac[4], kReplySrcMac[5]);
    o << "\"\nPAYLOAD_OFF = " << kFramePayloadOff << "\nREPLY_LEN = " << kReplyFrameLen
      << "\nREPLY_SRC_MAC = \"" << mac << "\"\nREPLY_SRC_IP = \"" << kReplySrcIp << "\"\n\n";
    for (const Row &r : kRows) o << r.name << " = " << hexCode(r.code) << "\n";
    return o.str();
}

std::string pythonNeed() {
    std::ostringstream o;
    o << "# Captured bytes each command needs; codes not listed have no command.\nNEED = {";
    size_t i = 0;
    for (const Row &r : kRows) {
        if (i) o << (i % 8 == 0 ? ",\n        " : ", ");
        o << hexCode(r.code) << ": " << r.need;
        ++i;
    }
    o << "}\n";
    return o.str();
}

struct Block {
    const char *kind;
    std::string (*text)();
};

const Block kBlocks[] = {{"lua", lua}, {"python-rfmsg", pythonRfmsg}, {"python-need", pythonNeed}};

struct Consumer {
    const char *path;  // below the source tree
    const char *kind;
};

const Consumer kConsumers[] = {
    {"tools/wireshark/rfprobe.lua", "lua"},
    {"tests/e2e/rfmsg.py", "python-rfmsg"},
    {"bench/soaklib.py", "python-need"},
};

const Block *findBlock(const char *kind) {
    for (const Block &b : kBlocks)
        if (strcmp(b.kind, kind) == 0) return &b;
    return nullptr;
}

// Replaces the lines between the markers of `kind` in `text`.  False when
// a marker is missing.
bool replaceBlock(std::string *text, const std::string &kind, const std::string &body) {
    std::string begin = "BEGIN cmdtable " + kind, end = "END cmdtable " + kind;
    size_t b = text->find(begin), e = text->find(end);
    if (b == std::string::npos || e == std::string::npos || e < b) return false;
    size_t from = text->find('\n', b);
    size_t to = text->rfind('\n', e);
    if (from == std::string::npos || to == std::string::npos || to < from) return false;
    text->replace(from + 1, to + 1 - (from + 1), body);
    return true;
}

int refresh(const std::string &root, bool write) {
    int stale = 0;
    for (const Consumer &c : kConsumers) {
        std::string path = root + "/" + c.path;
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            fprintf(stderr, "cmdtable: cannot read %s\n", path.c_str());
            return 2;
        }
        std::stringstream ss;
        ss << in.rdbuf();
        std::string old = ss.str(), text = old;
        if (!replaceBlock(&text, c.kind, findBlock(c.kind)->text())) {
            fprintf(stderr, "cmdtable: %s has no \"BEGIN/END cmdtable %s\" lines\n", c.path,
                    c.kind);
            return 2;
        }
        if (text == old) continue;
        ++stale;
        if (!write) {
            fprintf(stderr,
                    "cmdtable: %s: the %s block differs from src/proto/testmsg.h; run\n"
                    "  cmake --build BUILD --target command-tables\n",
                    c.path, c.kind);
            continue;
        }
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << text;
        if (!out) {
            fprintf(stderr, "cmdtable: cannot write %s\n", path.c_str());
            return 2;
        }
        printf("cmdtable: updated %s\n", c.path);
    }
    return write || stale == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc == 3 && strcmp(argv[1], "--print") == 0 && findBlock(argv[2])) {
        fputs(findBlock(argv[2])->text().c_str(), stdout);
        return 0;
    }
    if (argc == 3 && (strcmp(argv[1], "--check") == 0 || strcmp(argv[1], "--update") == 0))
        return refresh(argv[2], strcmp(argv[1], "--update") == 0);
    fprintf(stderr,
            "usage: cmdtable --check SRCDIR | --update SRCDIR | --print KIND\n"
            "KIND: lua, python-rfmsg, python-need\n");
    return 2;
}
