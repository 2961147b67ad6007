// Reading what the tools print: lines of key=value pairs, the first word of
// a scenegen line naming what it describes ("master", "photo", "script", ...).
#pragma once
#include <map>
#include <sstream>
#include <string>
#include <vector>

using key_values = std::map<std::string, std::string>;

// The pairs of one line; a first word without "=" is kept under "".
inline key_values parse_key_values(const std::string &line)
{
    key_values kv;
    std::istringstream words(line);
    for (std::string w; words >> w;) {
        size_t eq = w.find('=');
        if (eq == std::string::npos)
            kv[""] = w;
        else
            kv[w.substr(0, eq)] = w.substr(eq + 1);
    }
    return kv;
}

// Every line of text whose first word is kind; with kind "", every line.
inline std::vector<key_values> report_lines(const std::string &text, const std::string &kind = "")
{
    std::vector<key_values> out;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        key_values kv = parse_key_values(line);
        if (kind.empty() || (kv.count("") && kv[""] == kind))
            out.push_back(kv);
    }
    return out;
}

// A number of a report line (NaN when missing): strtod reads inf and nan.
inline double report_number(const key_values &kv, const std::string &key)
{
    auto it = kv.find(key);
    return it == kv.end() ? std::stod("nan") : std::stod(it->second);
}
