// Reading the instrument's TOML files (profile, fixture) with clear errors:
// every message names the file, the key and, where known, the line.
#pragma once

#include <string>
#include <vector>

#include <toml++/toml.h>

namespace instrument {

bool readWhole(const std::string &path, std::string *text, std::string *err);

class TomlDoc {
  public:
    enum Got { Absent, Ok, Bad };

    bool parse(const std::string &text, const std::string &name, std::string *err);
    const toml::table &root() const { return root_; }

    // "FILE: KEY: WHY" (with the line when the key is there); returns false.
    bool fail(const std::string &key, const std::string &why, std::string *err) const;
    bool failAt(const toml::node *n, const std::string &key, const std::string &why, std::string *err) const;

    bool has(const toml::table &t, const char *key) const { return t.contains(key); }
    // Refuses keys not in allowed (null-terminated); prefix names the table.
    bool onlyKeys(const toml::table &t, const std::string &prefix, const char *const *allowed,
                  std::string *err) const;
    // A sub-table that must be there.
    const toml::table *table(const toml::table &t, const std::string &key, std::string *err,
                             const std::string &prefix = "") const;

    Got getInt(const toml::table &t, const char *key, long long lo, long long hi, long long *v,
               std::string *err, const std::string &prefix = "") const;
    Got getNumber(const toml::table &t, const char *key, double lo, double hi, double *v,
                  std::string *err, const std::string &prefix = "") const;
    Got getString(const toml::table &t, const char *key, std::string *v, std::string *err,
                  const std::string &prefix = "") const;
    // A string or a non-empty array of strings, required; fullKey for messages.
    bool getStrings(const toml::table &t, const char *key, const std::string &fullKey,
                    std::vector<std::string> *v, std::string *err) const;

  private:
    std::string name_;
    toml::table root_;
};

}  // namespace instrument
