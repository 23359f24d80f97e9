// Reading the bus configuration (config.h).
#include "bus/config.h"

#include <fstream>
#include <sstream>

#include <toml++/toml.h>

namespace bus {

namespace {

class Reader {
  public:
    Reader(const std::string &path, const toml::table &root) : path_(path), root_(root) {}

    [[noreturn]] void fail(const std::string &key, const std::string &why) const {
        throw ConfigError(path_ + ": " + key + ": " + why);
    }

    void onlyKeys(const char *table, std::initializer_list<const char *> keys) const {
        const toml::table *t = root_[table].as_table();
        if (!t) return;
        for (const auto &kv : *t) {
            bool known = false;
            for (const char *k : keys) known = known || kv.first.str() == k;
            if (!known) fail(std::string(table) + "." + std::string(kv.first.str()), "unknown key");
        }
    }

    std::string text(const char *table, const char *key, bool required, const std::string &fallback = "") const {
        auto n = root_[table][key];
        if (!n) {
            if (required) fail(std::string(table) + "." + key, "missing");
            return fallback;
        }
        const std::string *s = n.as_string() ? &n.as_string()->get() : nullptr;
        if (!s || s->empty()) fail(std::string(table) + "." + key, "give a non-empty string");
        return *s;
    }

    double seconds(const char *table, const char *key, double fallback) const {
        auto n = root_[table][key];
        if (!n) return fallback;
        std::optional<double> v = n.value<double>();
        if (!v || !(*v >= 0.05 && *v <= 600))
            fail(std::string(table) + "." + key, "give seconds from 0.05 to 600");
        return *v;
    }

  private:
    const std::string &path_;
    const toml::table &root_;
};

// USER:PASSWORD on the file's first line.
void readCredentials(const std::string &config, const std::string &file, Config *c) {
    std::string path = file;
    size_t slash = config.rfind('/');
    if (path[0] != '/' && slash != std::string::npos) path = config.substr(0, slash + 1) + path;
    std::ifstream in(path);
    std::string line;
    if (!in || !std::getline(in, line))
        throw ConfigError(config + ": broker.credentials: cannot read " + path);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t colon = line.find(':');
    if (colon == std::string::npos || colon == 0)
        throw ConfigError(config + ": broker.credentials: " + path + " must hold USER:PASSWORD on its first line");
    c->user = line.substr(0, colon);
    c->password = line.substr(colon + 1);
}

}  // namespace

const char *modeName(RouteMode m) {
    return m == RouteMode::Enforced ? "enforced" : m == RouteMode::Advisory ? "advisory" : "off";
}

Config readConfig(const std::string &path) {
    toml::table root;
    try {
        root = toml::parse_file(path);
    } catch (const toml::parse_error &e) {
        std::ostringstream m;
        m << path;
        if (e.source().begin) m << ":" << e.source().begin.line;
        m << ": " << e.description();
        throw ConfigError(m.str());
    }
    Reader r(path, root);
    for (const auto &kv : root)
        if (kv.first.str() != "broker" && kv.first.str() != "station" && kv.first.str() != "route_check")
            r.fail(std::string(kv.first.str()), "unknown table (broker, station, route_check)");
    r.onlyKeys("broker", {"url", "credentials", "timeout"});
    r.onlyKeys("station", {"handle", "publish", "replies"});
    r.onlyKeys("route_check", {"mode", "request", "target", "timeout"});
    Config c;
    c.path = path;
    c.url = r.text("broker", "url", true);
    if (c.url.rfind("amqp://", 0) != 0 && c.url.rfind("amqps://", 0) != 0)
        r.fail("broker.url", c.url + " is not an amqp:// or amqps:// URL");
    if (c.url.find('@') != std::string::npos)
        r.fail("broker.url", "give the user and password in broker.credentials, not in the URL");
    std::string cred = r.text("broker", "credentials", false);
    if (!cred.empty()) readCredentials(path, cred, &c);
    c.timeoutS = r.seconds("broker", "timeout", 2.0);
    c.handle = r.text("station", "handle", true);
    c.publish = r.text("station", "publish", true);
    c.replies = r.text("station", "replies", false, "/queue/" + c.handle + ".replies");
    std::string mode = r.text("route_check", "mode", false, "off");
    if (mode == "off")
        c.mode = RouteMode::Off;
    else if (mode == "advisory")
        c.mode = RouteMode::Advisory;
    else if (mode == "enforced")
        c.mode = RouteMode::Enforced;
    else
        r.fail("route_check.mode", mode + ": give off, advisory or enforced");
    c.request = r.text("route_check", "request", c.mode != RouteMode::Off);
    c.target = r.text("route_check", "target", false);
    c.routeTimeoutS = r.seconds("route_check", "timeout", 2.0);
    return c;
}

}  // namespace bus
