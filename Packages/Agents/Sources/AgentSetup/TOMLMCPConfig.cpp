#include "AgentSetup/TOMLMCPConfig.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>

namespace AgentSetup::TOMLMCPConfig {

namespace {

using Path = std::vector<std::string>;

bool startsWith(const Path& path, const Path& prefix) {
    return path.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), path.begin());
}

struct Edit {
    TOMLLexer::Statement::Lines range;  // empty for an insertion
    std::vector<std::string> lines;
};

}  // namespace

std::vector<std::string> split(std::string_view bytes) {
    std::vector<std::string> lines;
    lines.reserve(static_cast<size_t>(std::count(bytes.begin(), bytes.end(), '\n')) + 1);
    size_t start = 0;
    while (start <= bytes.size()) {
        size_t lf = bytes.find('\n', start);
        if (lf == std::string_view::npos) {
            if (start < bytes.size()) lines.emplace_back(bytes.substr(start));
            break;
        }
        lines.emplace_back(bytes.substr(start, lf - start));
        start = lf + 1;
    }
    return lines;
}

std::string join(const std::vector<std::string>& lines, std::string_view eol) {
    size_t total = 0;
    for (const auto& line : lines) total += line.size() + eol.size();
    std::string out;
    out.reserve(total);
    for (const auto& line : lines) {
        std::string_view body = line;
        if (!body.empty() && body.back() == '\r') body.remove_suffix(1);
        out.append(body);
        out.append(eol);
    }
    return out;
}

namespace {

const Problem unreadable{"it isn't TOML Bosken can read (an unfinished string, array or table header)", false};

std::variant<Located, Problem> locateIn(const std::vector<TOMLLexer::Statement>& statements, std::string_view server) {
    const std::string name(server);
    const Path target{"mcp_servers", name};
    Path table;
    Located located;
    for (const auto& statement : statements) {
        if (auto* h = std::get_if<TOMLLexer::Statement::Header>(&statement.kind)) {
            if (startsWith(h->path, target) && h->isArray)
                return Problem{"it defines mcp_servers." + name + " as an array of tables", true};
            if (h->path == target) {
                if (located.header) return Problem{"it has two [mcp_servers." + name + "] tables", true};
                located.header = statement.lines.first;
            }
            table = h->path;
        } else if (auto* pair = std::get_if<TOMLLexer::Statement::Pair>(&statement.kind)) {
            Path full = table;
            full.insert(full.end(), pair->keyPath.begin(), pair->keyPath.end());
            if (full == Path{"mcp_servers"} || (startsWith(full, target) && !startsWith(table, target)))
                return Problem{"it sets mcp_servers." + name + " inline or with dotted keys", true};
            if (table == target) {
                if (pair->keyPath == Path{"command"}) located.command = statement;
                else if (pair->keyPath == Path{"args"}) located.args = statement;
                else if (pair->keyPath == Path{"enabled"}) located.enabled = statement;
            }
        }
    }
    return located;
}

}  // namespace

std::variant<Located, Problem> locate(const std::vector<std::string>& lines, std::string_view server) {
    auto statements = TOMLLexer::statements(lines);
    if (!statements) return unreadable;
    return locateIn(*statements, server);
}

std::variant<Document, Problem> read(std::string_view bytes, std::string_view server) {
    Document document{std::string(bytes), split(bytes), {}, {}};
    auto statements = TOMLLexer::statements(document.lines);
    if (!statements) return unreadable;
    auto found = locateIn(*statements, server);
    if (auto* problem = std::get_if<Problem>(&found)) return *problem;
    document.statements = std::move(*statements);
    document.located = std::get<Located>(found);
    return document;
}

bool isFalse(std::string_view line) {
    auto equals = TOMLLexer::firstEquals(line);
    if (!equals) return false;
    auto value = line.substr(*equals + 1);
    value = value.substr(0, value.find('#'));
    return TOMLLexer::trimmed(value) == "false";
}

std::string table(std::string_view server, std::string_view helper) {
    return "[mcp_servers." + std::string(server) + "]\ncommand = " + quoted(helper) + "\nargs = []\n";
}

std::string quoted(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out.push_back('"');
    for (char ch : text) {
        auto c = static_cast<unsigned char>(ch);
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\t': out += "\\t"; break;
        case '\n': out += "\\n"; break;
        default:
            if (c < 0x20 || c == 0x7F) {
                char escape[7];
                std::snprintf(escape, sizeof escape, "\\u%04X", static_cast<unsigned>(c));
                out += escape;
            } else {
                // Bytes of multi-byte scalars pass through unchanged (all are >= 0x80).
                out.push_back(ch);
            }
        }
    }
    out.push_back('"');
    return out;
}

std::variant<std::string, Problem> merged(const std::optional<std::string>& bytes, std::string_view server,
                                          std::string_view helper) {
    auto read = TOMLMCPConfig::read(bytes ? std::string_view(*bytes) : std::string_view(), server);
    if (auto* problem = std::get_if<Problem>(&read)) return *problem;
    return merged(std::move(std::get<Document>(read)), server, helper);
}

std::variant<std::string, Problem> merged(Document document, std::string_view server, std::string_view helper) {
    std::vector<std::string>& lines = document.lines;
    const Located& located = document.located;

    bool crlf = std::any_of(lines.begin(), lines.end(),
                            [](const std::string& line) { return !line.empty() && line.back() == '\r'; });
    std::string_view eol = crlf ? "\r\n" : "\n";
    std::string commandLine = "command = " + quoted(helper);
    // TOML files are UTF-8 throughout; a path that isn't would make the whole file unreadable
    // to its app, so nothing is written rather than a line that doesn't read back as the path.
    if (TOMLLexer::value(commandLine) != helper)
        return Problem{"the helper's path isn't valid UTF-8, which TOML requires", false};
    std::string argsLine = "args = []";

    if (!located.header) {
        while (!lines.empty() && lines.back().empty()) lines.pop_back();
        if (!lines.empty()) lines.emplace_back();
        lines.push_back("[mcp_servers." + std::string(server) + "]");
        lines.push_back(std::move(commandLine));
        lines.push_back(std::move(argsLine));
        return join(lines, eol);
    }

    size_t under = *located.header + 1;
    std::vector<Edit> edits;
    if (located.command) {
        edits.push_back({located.command->lines, {commandLine}});
        if (!located.args) {
            size_t after = located.command->lines.end;
            edits.push_back({{after, after}, {argsLine}});
        }
    } else {
        edits.push_back({{under, under}, located.args ? std::vector<std::string>{commandLine}
                                                      : std::vector<std::string>{commandLine, argsLine}});
    }
    if (located.args) edits.push_back({located.args->lines, {argsLine}});
    if (located.enabled && located.enabled->lines.end == located.enabled->lines.first + 1 &&
        isFalse(lines[located.enabled->lines.first]))
        edits.push_back({located.enabled->lines, {"enabled = true"}});

    // Bottom-up, so no edit shifts the lines of one still to come; at the same line the
    // replacement goes first, so an insertion there lands above the replaced line.
    std::stable_sort(edits.begin(), edits.end(), [](const Edit& a, const Edit& b) {
        if (a.range.first != b.range.first) return a.range.first > b.range.first;
        bool aReplaces = a.range.end > a.range.first, bReplaces = b.range.end > b.range.first;
        return aReplaces && !bReplaces;
    });
    for (auto& edit : edits) {
        auto first = lines.begin() + static_cast<std::ptrdiff_t>(edit.range.first);
        auto end = lines.begin() + static_cast<std::ptrdiff_t>(edit.range.end);
        first = lines.erase(first, end);
        lines.insert(first, std::make_move_iterator(edit.lines.begin()), std::make_move_iterator(edit.lines.end()));
    }
    return join(lines, eol);
}

std::variant<Removal, Problem> removed(std::string_view bytes, std::string_view server) {
    auto read = TOMLMCPConfig::read(bytes, server);
    if (auto* problem = std::get_if<Problem>(&read)) return *problem;
    return removed(std::move(std::get<Document>(read)), server);
}

Removal removed(Document document, std::string_view server) {
    const std::string_view bytes = document.bytes;
    if (!document.located.header) return Removal{std::move(document.bytes), {}};
    std::vector<std::string>& lines = document.lines;

    // Each run of the server's tables, up to its last pair: comments and blank lines after
    // that belong to what follows.
    const Path target{"mcp_servers", std::string(server)};
    std::vector<TOMLLexer::Statement::Lines> blocks;
    bool inside = false;
    for (const auto& statement : document.statements) {
        if (auto* h = std::get_if<TOMLLexer::Statement::Header>(&statement.kind)) {
            bool under = startsWith(h->path, target);
            if (under && !inside) blocks.push_back(statement.lines);
            inside = under;
        }
        if (inside && !std::holds_alternative<TOMLLexer::Statement::Other>(statement.kind))
            blocks.back().end = statement.lines.end;
    }

    auto isBlank = [](const std::string& line) { return TOMLLexer::trimmed(line).empty(); };
    std::string removedLines;
    for (auto block = blocks.rbegin(); block != blocks.rend(); ++block) {
        size_t first = block->first, end = block->end;
        std::string text;
        for (size_t i = first; i < end; ++i) {
            std::string_view line = lines[i];
            if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
            text.append(line).append("\n");
        }
        removedLines.insert(0, text);
        // The blank line that set the table apart goes too: all of them at the end of the file.
        bool atEnd = std::all_of(lines.begin() + static_cast<std::ptrdiff_t>(end), lines.end(), isBlank);
        if (atEnd) {
            while (first > 0 && isBlank(lines[first - 1])) --first;
            end = lines.size();
        } else if (first > 0 && isBlank(lines[first - 1]) && end < lines.size() && isBlank(lines[end])) {
            --first;
        }
        lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(first), lines.begin() + static_cast<std::ptrdiff_t>(end));
    }
    bool crlf = bytes.find("\r\n") != std::string_view::npos;
    return Removal{join(lines, crlf ? "\r\n" : "\n"), std::move(removedLines)};
}

}  // namespace AgentSetup::TOMLMCPConfig
