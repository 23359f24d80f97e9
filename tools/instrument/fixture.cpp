#include "instrument/fixture.h"

#include <cmath>
#include <set>

#include "instrument/toml_read.h"

namespace instrument {

double PathLoss::at(double mhz) const {
    if (points.empty()) return 0;
    if (mhz <= points.front().first) return points.front().second;
    if (mhz >= points.back().first) return points.back().second;
    for (size_t i = 1; i < points.size(); i++) {
        if (mhz <= points[i].first) {
            const auto &a = points[i - 1], &b = points[i];
            return a.second + (b.second - a.second) * (mhz - a.first) / (b.first - a.first);
        }
    }
    return points.back().second;
}

const FixtureUnit *Fixture::unit(const std::string &iface) const {
    for (const FixtureUnit &u : units)
        if (u.iface == iface) return &u;
    return nullptr;
}

namespace {

bool readLoss(const TomlDoc &doc, const toml::table &t, const std::string &key, PathLoss *out,
              std::string *err) {
    const toml::node *n = t.get("loss");
    if (!n) return doc.fail(key, "missing (a list of [MHz, dB] pairs)", err);
    const toml::array *a = n->as_array();
    if (!a || a->empty()) return doc.failAt(n, key, "must be a non-empty list of [MHz, dB] pairs", err);
    for (size_t i = 0; i < a->size(); i++) {
        const toml::array *pt = (*a)[i].as_array();
        std::string at = key + "[" + std::to_string(i) + "]";
        if (!pt || pt->size() != 2 || !(*pt)[0].is_number() || !(*pt)[1].is_number())
            return doc.failAt(&(*a)[i], at, "must be a pair [MHz, dB] of numbers", err);
        double f = (*pt)[0].value<double>().value_or(NAN), db = (*pt)[1].value<double>().value_or(NAN);
        if (!std::isfinite(f) || f <= 0 || f > 1e6)
            return doc.failAt(&(*a)[i], at, "frequency must be above 0 MHz", err);
        if (!std::isfinite(db) || db < -20 || db > 100)
            return doc.failAt(&(*a)[i], at, "loss must be -20..100 dB", err);
        if (!out->points.empty() && f <= out->points.back().first)
            return doc.failAt(&(*a)[i], at, "frequencies must rise from one point to the next", err);
        out->points.emplace_back(f, db);
    }
    return true;
}

std::string dirOf(const std::string &path) {
    size_t s = path.rfind('/');
    return s == std::string::npos ? "" : path.substr(0, s + 1);
}

}  // namespace

bool parseFixture(const std::string &text, const std::string &path, Fixture *out, std::string *err) {
    TomlDoc doc;
    if (!doc.parse(text, path, err)) return false;
    Fixture fx;
    fx.path = path;
    const char *top[] = {"tester", "units", nullptr};
    if (!doc.onlyKeys(doc.root(), "", top, err)) return false;
    const toml::table *tester = doc.table(doc.root(), "tester", err);
    if (!tester) return false;
    const char *testerKeys[] = {"resource", "profile", nullptr};
    if (!doc.onlyKeys(*tester, "tester.", testerKeys, err)) return false;
    std::string res, why;
    TomlDoc::Got g = doc.getString(*tester, "resource", &res, err, "tester.");
    if (g == TomlDoc::Bad) return false;
    if (g == TomlDoc::Absent) return doc.fail("tester.resource", "missing", err);
    if (!parseResource(res, &fx.tester, &why)) return doc.failAt(tester->get("resource"), "tester.resource", why, err);
    g = doc.getString(*tester, "profile", &fx.profilePath, err, "tester.");
    if (g == TomlDoc::Bad) return false;
    if (g == TomlDoc::Absent || fx.profilePath.empty()) return doc.fail("tester.profile", "missing", err);
    if (fx.profilePath[0] != '/') fx.profilePath = dirOf(path) + fx.profilePath;

    const toml::table *units = doc.table(doc.root(), "units", err);
    if (!units) return false;
    std::set<long long> ports;
    for (auto &&kv : *units) {
        std::string iface(kv.first.str());
        std::string key = "units." + iface;
        const toml::table *u = kv.second.as_table();
        if (!u) return doc.failAt(&kv.second, key, "must be a table ([units.IFACE])", err);
        const char *unitKeys[] = {"port", "loss", nullptr};
        if (!doc.onlyKeys(*u, key + ".", unitKeys, err)) return false;
        FixtureUnit fu;
        fu.iface = iface;
        long long port = 0;
        g = doc.getInt(*u, "port", 1, 1024, &port, err, key + ".");
        if (g == TomlDoc::Bad) return false;
        if (g == TomlDoc::Absent) return doc.fail(key + ".port", "missing", err);
        if (!ports.insert(port).second)
            return doc.failAt(u->get("port"), key + ".port", "port " + std::to_string(port) + " is already another unit's",
                              err);
        fu.port = (int)port;
        if (!readLoss(doc, *u, key + ".loss", &fu.loss, err)) return false;
        fx.units.push_back(fu);
    }
    if (fx.units.empty()) return doc.fail("units", "no unit", err);
    if (!loadProfile(fx.profilePath, &fx.profile, err)) {
        *err = path + ": tester.profile: " + *err;
        return false;
    }
    *out = fx;
    return true;
}

bool loadFixture(const std::string &path, Fixture *out, std::string *err) {
    std::string text;
    if (!readWhole(path, &text, err)) return false;
    return parseFixture(text, path, out, err);
}

}  // namespace instrument
