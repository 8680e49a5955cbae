// Writes and checks the parts of the documentation that restate the language's tables, so the
// docs cannot drift from the code: the call reference (ops::OP_TABLE, with the tree reader's
// field kinds and defaults), the operator precedence (ops::BINOP_TABLE and the parser's binding
// strengths) and the operators of the JSON expression tree (spec::op_table()).
//
// A generated part sits between two marker lines,
//   <!-- BEGIN GENERATED: NAME -->
//   <!-- END GENERATED: NAME -->
// and everything outside the markers is left as it is. NAME is one of
//   operators        infix and prefix operators by precedence
//   calls            one line per call, linking to the entries
//   call ALIAS       the entry of one call, under its first alias; a file holding one such block
//                    must hold one for every call, in table order, so that none is forgotten
//   tree-operators   the 52 operators of the JSON tree form with their fields
//
// Usage: gen_docs --write FILE...   rewrite the generated parts in place
//        gen_docs --check FILE...   exit 1 when a part differs, naming it and the fix
// Exit 2 on a usage error, an unreadable file or malformed markers.

#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "quaro/dsl/ops.hpp"
#include "quaro/dsl/parse.hpp"
#include "quaro/spec.hpp"

namespace {

namespace ops = quaro::ops;
namespace spec = quaro::spec;

constexpr std::string_view kBegin = "<!-- BEGIN GENERATED: ";
constexpr std::string_view kEnd = "<!-- END GENERATED: ";
constexpr std::string_view kClose = " -->";

// A failure that no regeneration can fix: the tables disagree or the file is malformed.
struct Fatal {
  std::string message;
};

std::string code(std::string_view s) {
  std::string out = "`";
  out += s;
  out += '`';
  return out;
}

std::string join(const std::vector<std::string> &parts, std::string_view sep) {
  std::string out;
  for (std::size_t k = 0; k < parts.size(); ++k) {
    if (k) {
      out += sep;
    }
    out += parts[k];
  }
  return out;
}

// ---- what the tables say ----

const spec::Field &tree_field(const ops::OpSpec &row, const ops::ParamSpec &p) {
  const auto op = spec::op_from_name(row.tag);
  if (!op) {
    throw Fatal{"call " + std::string(row.aliases.front()) + " builds " + std::string(row.tag) +
                ", which is no tree operator"};
  }
  const auto k = spec::field_index(*op, p.name);
  if (!k) {
    throw Fatal{std::string(row.tag) + " has no field " + std::string(p.name)};
  }
  return spec::op_def(*op).fields[*k];
}

// What an argument must be: the parser's check, narrowed by the tree reader's field kind.
std::string value_text(ops::ParamKind kind, spec::Kind field) {
  using K = ops::ParamKind;
  switch (kind) {
  case K::Expr:
  case K::OptExpr:
    return "expression";
  case K::ExprList:
    return "list of expressions";
  case K::Number:
  case K::OptNumber:
    return field == spec::Kind::Count || field == spec::Kind::OptCount ? "whole number" : "number";
  case K::OptBool:
    return "`true` or `false`";
  case K::Str:
  case K::OptStr:
    return "string";
  case K::OptStrList:
    return "list of strings";
  }
  return "?";
}

// The value the tree reader fills in for a field left out, if any.
std::optional<std::string> default_text(const spec::Field &f) {
  if (!f.defaulted || spec::is_optional(f.kind)) {
    return std::nullopt;
  }
  if (f.kind == spec::Kind::Flag) {
    return f.default_value ? "true" : "false";
  }
  return std::to_string(f.default_value);
}

std::string left_out_text(const ops::OpSpec &row, const ops::ParamSpec &p) {
  if (ops::required(p.kind)) {
    return "required";
  }
  if (auto d = default_text(tree_field(row, p))) {
    return code(*d);
  }
  return "not set";
}

std::string signature(const ops::OpSpec &row) {
  std::string out(row.aliases.front());
  out += '(';
  for (std::size_t k = 0; k < row.params.size(); ++k) {
    const ops::ParamSpec &p = row.params[k];
    if (ops::required(p.kind)) {
      out += (k ? ", " : "") + std::string(p.name);
    } else {
      out += "[, " + std::string(p.name) + "]";
    }
  }
  return out + ')';
}

// GitHub's anchor for a heading that is one code span: its text, since aliases are lower case.
std::string anchor(std::string_view alias) {
  std::string out = "#";
  out += alias;
  return out;
}

const ops::OpSpec *row_by_alias(std::string_view alias) {
  for (const ops::OpSpec &row : ops::OP_TABLE) {
    if (row.aliases.front() == alias) {
      return &row;
    }
  }
  return nullptr;
}

// ---- the blocks ----

using Lines = std::vector<std::string>;

Lines call_entry(const ops::OpSpec &row) {
  Lines out;
  out.push_back("### " + code(row.aliases.front()));
  out.push_back("");
  std::string head = code(signature(row));
  if (row.aliases.size() > 1) {
    std::vector<std::string> others;
    for (std::size_t k = 1; k < row.aliases.size(); ++k) {
      others.push_back(code(row.aliases[k]));
    }
    head += " · also written " + join(others, ", ");
  }
  head += " · builds " + code(row.tag);
  out.push_back(head);
  out.push_back("");
  out.push_back("| # | Parameter | Value | If left out |");
  out.push_back("|---|---|---|---|");
  for (std::size_t k = 0; k < row.params.size(); ++k) {
    const ops::ParamSpec &p = row.params[k];
    out.push_back("| " + std::to_string(k + 1) + " | " + code(p.name) + " | " +
                  value_text(p.kind, tree_field(row, p).kind) + " | " + left_out_text(row, p) +
                  " |");
  }
  out.push_back("");
  out.push_back("> " + std::string(row.doc));
  return out;
}

Lines calls_index() {
  Lines out;
  out.push_back("| Call | Also written | Builds | Arguments |");
  out.push_back("|---|---|---|---|");
  for (const ops::OpSpec &row : ops::OP_TABLE) {
    std::vector<std::string> others;
    for (std::size_t k = 1; k < row.aliases.size(); ++k) {
      others.push_back(code(row.aliases[k]));
    }
    const std::string name(row.aliases.front());
    out.push_back("| [" + code(name) + "](" + anchor(name) + ") | " + join(others, ", ") + " | " +
                  code(row.tag) + " | " + code(signature(row)) + " |");
  }
  return out;
}

// Precedence levels, loosest first: the infix operators grouped by strength, each prefix operator
// placed just above the first level its operand takes in.
// (The parser asserts at compile time that the strengths and BINOP_TABLE name the same symbols.)
Lines operators() {
  std::map<unsigned, std::vector<std::string_view>> levels; // strength -> symbols
  for (const auto &i : quaro::parse::INFIX_STRENGTH) {
    levels[i.strength].push_back(i.symbol);
  }
  const std::map<unsigned, std::pair<std::string, std::string>> prefixes = {
      {quaro::parse::NOT_OPERAND_STRENGTH, {"not", "Not"}},
      {quaro::parse::NEG_OPERAND_STRENGTH, {"-", "Neg"}},
  };

  Lines out;
  out.push_back("| Level | Operators | Builds | Form |");
  out.push_back("|---|---|---|---|");
  std::size_t level = 0;
  auto prefix_rows = prefixes.begin();
  auto emit_prefixes_below = [&](unsigned strength) {
    for (; prefix_rows != prefixes.end() && prefix_rows->first <= strength; ++prefix_rows) {
      out.push_back("| " + std::to_string(++level) + " | " + code(prefix_rows->second.first) +
                    " (prefix) | " + code(prefix_rows->second.second) +
                    " | prefix; its operand takes in every level below this one |");
    }
  };
  for (const auto &[strength, symbols] : levels) {
    emit_prefixes_below(strength);
    std::vector<std::string> syms, tags;
    for (std::string_view s : symbols) {
      syms.push_back(code(s));
      tags.push_back(code(*ops::binop_tag(s)));
    }
    out.push_back("| " + std::to_string(++level) + " | " + join(syms, " ") + " | " +
                  join(tags, " ") + " | infix, left-associative |");
  }
  emit_prefixes_below(~0u);
  return out;
}

std::string kind_text(spec::Kind k) {
  switch (k) {
  case spec::Kind::Expr:
    return "expr";
  case spec::Kind::OptExpr:
    return "expr?";
  case spec::Kind::ExprList:
    return "expr list";
  case spec::Kind::Count:
    return "count";
  case spec::Kind::OptCount:
    return "count?";
  case spec::Kind::Number:
    return "number";
  case spec::Kind::OptNumber:
    return "number?";
  case spec::Kind::Flag:
    return "flag";
  case spec::Kind::Text:
    return "text";
  case spec::Kind::OptText:
    return "text?";
  case spec::Kind::OptTextList:
    return "text list?";
  }
  return "?";
}

// How quaro source writes an operator: a call, an infix or prefix form, or a bare token.
std::string source_form(std::string_view name) {
  if (name == "Data") {
    return "a series name, `close`";
  }
  if (name == "Const") {
    return "a number, `2.5`";
  }
  if (name == "Neg") {
    return "`-of`";
  }
  if (name == "Not") {
    return "`not of`";
  }
  if (const auto symbol = ops::binop_symbol_for_tag(name)) {
    return "`l " + std::string(*symbol) + " r`";
  }
  std::vector<std::string> calls;
  for (const ops::OpSpec &row : ops::OP_TABLE) {
    if (row.tag == name) {
      for (std::string_view a : row.aliases) {
        calls.push_back(code(std::string(a) + "(…)"));
      }
    }
  }
  if (calls.empty()) {
    throw Fatal{"tree operator " + std::string(name) + " has no form in quaro source"};
  }
  return join(calls, ", ");
}

Lines tree_operators() {
  Lines out;
  out.push_back("| # | `\"op\"` | Fields, in order (`?`: optional) | In quaro |");
  out.push_back("|---|---|---|---|");
  const auto &table = spec::op_table();
  for (std::size_t k = 0; k < table.size(); ++k) {
    std::vector<std::string> fields;
    for (const spec::Field &f : table[k].fields) {
      std::string text = code(f.name) + ": " + kind_text(f.kind);
      if (auto d = default_text(f)) {
        text += " = " + *d;
      }
      fields.push_back(text);
    }
    out.push_back("| " + std::to_string(k) + " | " + code(table[k].name) + " | " +
                  join(fields, ", ") + " | " + source_form(table[k].name) + " |");
  }
  return out;
}

// The content of block NAME, or nothing when NAME is no block.
std::optional<Lines> generate(std::string_view name) {
  if (name == "operators") {
    return operators();
  }
  if (name == "calls") {
    return calls_index();
  }
  if (name == "tree-operators") {
    return tree_operators();
  }
  if (name.substr(0, 5) == "call ") {
    if (const ops::OpSpec *row = row_by_alias(name.substr(5))) {
      return call_entry(*row);
    }
  }
  return std::nullopt;
}

// ---- files ----

std::string_view trim_end(std::string_view s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
    s.remove_suffix(1);
  }
  return s;
}

// The NAME of a marker line of the given prefix, or nothing.
std::optional<std::string> marker(std::string_view line, std::string_view prefix) {
  line = trim_end(line);
  if (line.size() < prefix.size() + kClose.size() || line.substr(0, prefix.size()) != prefix ||
      line.substr(line.size() - kClose.size()) != kClose) {
    return std::nullopt;
  }
  return std::string(line.substr(prefix.size(), line.size() - prefix.size() - kClose.size()));
}

struct Block {
  std::string name;
  std::size_t begin_line;  // 1-based line of the BEGIN marker
  std::size_t first, last; // content lines [first, last) of the file, 0-based
};

std::vector<Block> find_blocks(const Lines &lines, const std::string &path) {
  std::vector<Block> blocks;
  std::optional<Block> open;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string where = path + ":" + std::to_string(i + 1) + ": ";
    if (auto name = marker(lines[i], kBegin)) {
      if (open) {
        throw Fatal{where + "block \"" + *name + "\" opens inside block \"" + open->name + "\""};
      }
      if (!generate(*name)) {
        throw Fatal{where + "no generated block is called \"" + *name + "\""};
      }
      open = Block{*name, i + 1, i + 1, 0};
    } else if (auto name = marker(lines[i], kEnd)) {
      if (!open || open->name != *name) {
        throw Fatal{where + "END of \"" + *name + "\" without its BEGIN"};
      }
      open->last = i;
      blocks.push_back(*open);
      open.reset();
    }
  }
  if (open) {
    throw Fatal{path + ":" + std::to_string(open->begin_line) + ": block \"" + open->name +
                "\" has no END marker"};
  }
  if (blocks.empty()) {
    throw Fatal{path + ": holds no generated block"};
  }

  // Call entries: all of them, once each, in table order, or none.
  std::vector<std::string> calls;
  for (const Block &b : blocks) {
    if (b.name.substr(0, 5) == "call ") {
      calls.push_back(b.name.substr(5));
    }
  }
  if (!calls.empty()) {
    std::vector<std::string> expected;
    for (const ops::OpSpec &row : ops::OP_TABLE) {
      expected.emplace_back(row.aliases.front());
    }
    if (calls != expected) {
      throw Fatal{path + ": the \"call\" blocks must name every call once, in table order: " +
                  join(expected, ", ") + "; found " + join(calls, ", ")};
    }
  }
  return blocks;
}

Lines split_lines(const std::string &text) {
  Lines lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) {
      end = text.size();
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    throw Fatal{path + ": cannot read"};
  }
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// Returns whether the file was up to date; with `write`, brings it up to date.
bool process(const std::string &path, bool write, const std::string &self) {
  const std::string text = read_file(path);
  const Lines lines = split_lines(text);
  const std::vector<Block> blocks = find_blocks(lines, path);

  Lines out;
  std::size_t copied = 0;
  bool fresh = true;
  for (const Block &b : blocks) {
    out.insert(out.end(), lines.begin() + static_cast<std::ptrdiff_t>(copied),
               lines.begin() + static_cast<std::ptrdiff_t>(b.first));
    const Lines want = *generate(b.name);
    const Lines have(lines.begin() + static_cast<std::ptrdiff_t>(b.first),
                     lines.begin() + static_cast<std::ptrdiff_t>(b.last));
    if (want != have) {
      fresh = false;
      if (!write) {
        std::size_t k = 0;
        while (k < want.size() && k < have.size() && want[k] == have[k]) {
          ++k;
        }
        std::cerr << path << ":" << b.first + k + 1 << ": generated block \"" << b.name
                  << "\" differs from the tables\n"
                  << "  expected: " << (k < want.size() ? want[k] : "(end of block)") << "\n"
                  << "  found:    " << (k < have.size() ? have[k] : "(end of block)") << "\n";
      }
    }
    out.insert(out.end(), want.begin(), want.end());
    copied = b.last;
  }
  out.insert(out.end(), lines.begin() + static_cast<std::ptrdiff_t>(copied), lines.end());
  if (!write && !fresh) {
    std::cerr << "regenerate with: " << self << " --write " << path << "\n";
  }
  if (write && !fresh) {
    std::string result = join(out, "\n");
    if (!text.empty() && text.back() == '\n') {
      result += '\n';
    }
    std::ofstream o(path, std::ios::binary | std::ios::trunc);
    o << result;
    if (!o) {
      throw Fatal{path + ": cannot write"};
    }
    std::cout << "updated " << path << "\n";
  }
  return fresh;
}

} // namespace

int main(int argc, char **argv) {
  const std::string usage = "usage: gen_docs --write FILE... | gen_docs --check FILE...";
  if (argc < 3) {
    std::cerr << usage << "\n";
    return 2;
  }
  const std::string mode = argv[1];
  if (mode != "--write" && mode != "--check") {
    std::cerr << usage << "\n";
    return 2;
  }
  try {
    bool fresh = true;
    for (int i = 2; i < argc; ++i) {
      fresh = process(argv[i], mode == "--write", argv[0]) && fresh;
    }
    return fresh || mode == "--write" ? 0 : 1;
  } catch (const Fatal &f) {
    std::cerr << f.message << "\n";
    return 2;
  }
}
