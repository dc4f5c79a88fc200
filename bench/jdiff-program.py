#!/usr/bin/python3
"""Writes a sizeable C++ program to standard output: many small modules, each with its own
types and template instantiations, so that a build with debug information is several MB. With
--extra-line, one statement is added in the middle, as a developer's one-line change would be."""
import sys

MODULES = 28
# The name tables alternate between container types, as a real program's do.
CONTAINERS = ("std::unordered_map<int, std::string>", "std::map<int, std::string>",
              "std::unordered_map<long, std::string>", "std::map<long, std::string>")


def module(index, extra_line):
    container = CONTAINERS[index % len(CONTAINERS)]
    extra = "        total += static_cast<double>(items_.size()) * 0.5;\n" if extra_line else ""
    return f"""
struct Item{index}
{{
    int id = 0;
    std::string name;
    double weight = {index}.25;
    std::vector<int> parts;
    bool operator<(const Item{index} &other) const {{ return weight < other.weight || (weight == other.weight && id < other.id); }}
}};

class Module{index}
{{
public:
    void Add(const std::string &name, int id)
    {{
        Item{index} item;
        item.id = id;
        item.name = name + "-{index}";
        item.weight = id * {index % 17 + 1}.5 - {index};
        for (int part = 0; part < id % {index % 7 + 3}; ++part)
            item.parts.push_back(part * {index});
        items_[item.name] = item;
        names_[id] = item.name;
    }}

    double Total() const
    {{
        double total = 0;
        for (const auto &[key, item] : items_)
        {{
            total += item.weight * static_cast<double>(key.size());
            total += std::accumulate(item.parts.begin(), item.parts.end(), 0.0);
        }}
{extra}        return total;
    }}

    std::string Report() const
    {{
        std::vector<Item{index}> sorted;
        for (const auto &entry : items_)
            sorted.push_back(entry.second);
        std::sort(sorted.begin(), sorted.end());
        std::ostringstream out;
        out << "module {index}:";
        for (const Item{index} &item : sorted)
            out << ' ' << item.name << '=' << item.weight;
        std::function<std::string(int)> lookup = [this](int id) {{
            auto found = names_.find(id);
            return found == names_.end() ? std::string("?") : found->second;
        }};
        out << " first=" << lookup({index % 5});
        return out.str();
    }}

private:
    std::map<std::string, Item{index}> items_;
    {container} names_;
}};

static double Run{index}(int seed)
{{
    Module{index} module;
    for (int id = 0; id < seed % 13 + {index % 11}; ++id)
        module.Add("item" + std::to_string(id), id);
    if (module.Report().size() > static_cast<size_t>(seed) * {index + 1000})
        throw std::runtime_error("module {index} too large");
    return module.Total();
}}
"""


def main():
    extra_line = "--extra-line" in sys.argv[1:]
    parts = ["#include <algorithm>\n#include <functional>\n#include <iostream>\n#include <map>\n"
             "#include <numeric>\n#include <sstream>\n#include <stdexcept>\n#include <string>\n"
             "#include <unordered_map>\n#include <vector>\n"]
    for index in range(MODULES):
        parts.append(module(index, extra_line and index == MODULES // 2))
    parts.append("\nint main(int argc, char **)\n{\n    double total = 0;\n")
    for index in range(MODULES):
        parts.append(f"    total += Run{index}(argc + {index});\n")
    parts.append("    std::cout << total << '\\n';\n    return 0;\n}\n")
    sys.stdout.write("".join(parts))


if __name__ == "__main__":
    main()
