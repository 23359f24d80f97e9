#include "instrument/toml_read.h"

#include <cmath>
#include <fstream>
#include <sstream>

namespace instrument {

bool readWhole(const std::string &path, std::string *text, std::string *err) {
    std::ifstream f(path, std::ios::binary);
    if (!f) {
        *err = path + ": cannot be read";
        return false;
    }
    std::ostringstream ss;
    ss << f.rdbuf();
    *text = ss.str();
    return true;
}

bool TomlDoc::parse(const std::string &text, const std::string &name, std::string *err) {
    name_ = name;
    try {
        root_ = toml::parse(text, name);
    } catch (const toml::parse_error &e) {
        *err = name + ":" + std::to_string(e.source().begin.line) + ": not valid TOML: " +
               std::string(e.description());
        return false;
    }
    return true;
}

bool TomlDoc::fail(const std::string &key, const std::string &why, std::string *err) const {
    *err = name_ + ": " + key + ": " + why;
    return false;
}

bool TomlDoc::failAt(const toml::node *n, const std::string &key, const std::string &why,
                     std::string *err) const {
    if (n && n->source().begin.line)
        *err = name_ + ":" + std::to_string(n->source().begin.line) + ": " + key + ": " + why;
    else
        *err = name_ + ": " + key + ": " + why;
    return false;
}

bool TomlDoc::onlyKeys(const toml::table &t, const std::string &prefix, const char *const *allowed,
                       std::string *err) const {
    for (auto &&kv : t) {
        std::string k(kv.first.str());
        bool ok = false;
        for (const char *const *a = allowed; *a; a++) ok |= k == *a;
        if (!ok) {
            std::string all;
            for (const char *const *a = allowed; *a; a++) all += std::string(all.empty() ? "" : ", ") + *a;
            return failAt(&kv.second, prefix + k, "unknown key (known: " + all + ")", err);
        }
    }
    return true;
}

const toml::table *TomlDoc::table(const toml::table &t, const std::string &key, std::string *err,
                                  const std::string &prefix) const {
    const toml::node *n = t.get(key);
    if (!n) {
        fail(prefix + key, "missing", err);
        return nullptr;
    }
    if (!n->is_table()) {
        failAt(n, prefix + key, "must be a table ([" + prefix + key + "])", err);
        return nullptr;
    }
    return n->as_table();
}

TomlDoc::Got TomlDoc::getInt(const toml::table &t, const char *key, long long lo, long long hi, long long *v,
                             std::string *err, const std::string &prefix) const {
    const toml::node *n = t.get(key);
    if (!n) return Absent;
    auto i = n->value_exact<int64_t>();
    if (!i) {
        failAt(n, prefix + key, "must be a whole number", err);
        return Bad;
    }
    if (*i < lo || *i > hi) {
        failAt(n, prefix + key, std::to_string(*i) + " is outside " + std::to_string(lo) + ".." + std::to_string(hi),
               err);
        return Bad;
    }
    *v = *i;
    return Ok;
}

TomlDoc::Got TomlDoc::getNumber(const toml::table &t, const char *key, double lo, double hi, double *v,
                                std::string *err, const std::string &prefix) const {
    const toml::node *n = t.get(key);
    if (!n) return Absent;
    if (!n->is_number()) {
        failAt(n, prefix + key, "must be a number", err);
        return Bad;
    }
    double d = n->value<double>().value_or(NAN);
    if (!std::isfinite(d) || d < lo || d > hi) {
        failAt(n, prefix + key, "out of range", err);
        return Bad;
    }
    *v = d;
    return Ok;
}

TomlDoc::Got TomlDoc::getString(const toml::table &t, const char *key, std::string *v, std::string *err,
                                const std::string &prefix) const {
    const toml::node *n = t.get(key);
    if (!n) return Absent;
    if (!n->is_string()) {
        failAt(n, prefix + key, "must be a string", err);
        return Bad;
    }
    *v = n->value<std::string>().value_or("");
    return Ok;
}

bool TomlDoc::getStrings(const toml::table &t, const char *key, const std::string &fullKey,
                         std::vector<std::string> *v, std::string *err) const {
    const toml::node *n = t.get(key);
    v->clear();
    if (!n) return fail(fullKey, "missing", err);
    if (n->is_string()) {
        v->push_back(n->value<std::string>().value_or(""));
        return true;
    }
    const toml::array *a = n->as_array();
    if (!a || a->empty()) return failAt(n, fullKey, "must be a command or a non-empty list of commands", err);
    for (const toml::node &e : *a) {
        if (!e.is_string()) return failAt(&e, fullKey, "every command must be a string", err);
        v->push_back(e.value<std::string>().value_or(""));
    }
    return true;
}

}  // namespace instrument
