// Signature lines: the docstring's first line of a table row, parsed at
// import into parameter names, kinds, declared type words and defaults.

#include "frame/function.hpp"

#include <cctype>
#include <stdexcept>

namespace halvex::frame {

namespace {

std::string trim(std::string_view text) {
    std::size_t begin = text.find_first_not_of(" \t");
    if (begin == std::string_view::npos) return {};
    std::size_t end = text.find_last_not_of(" \t");
    return std::string(text.substr(begin, end - begin + 1));
}

// Positions of `separator` outside brackets and quotes.
std::vector<std::size_t> top_level_positions(std::string_view text, char separator) {
    std::vector<std::size_t> positions;
    int depth = 0;
    char quote = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (quote) {
            if (c == quote) quote = 0;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '(' || c == '[' || c == '{') {
            ++depth;
        } else if (c == ')' || c == ']' || c == '}') {
            --depth;
        } else if (depth == 0 && c == separator) {
            positions.push_back(i);
        }
    }
    return positions;
}

// The '=' that starts a default, not one of == <= >= !=.
std::size_t default_position(std::string_view text) {
    for (std::size_t i : top_level_positions(text, '=')) {
        char before = i > 0 ? text[i - 1] : ' ';
        char after = i + 1 < text.size() ? text[i + 1] : ' ';
        if (after != '=' && before != '=' && before != '<' && before != '>' && before != '!') return i;
    }
    return std::string_view::npos;
}

TypeWord type_word(std::string_view word) {
    if (word == "double") return TypeWord::double_;
    if (word == "int") return TypeWord::int_;
    if (word == "bool") return TypeWord::bool_;
    if (word == "list") return TypeWord::list;
    if (word == "dict") return TypeWord::dict;
    if (word == "tuple") return TypeWord::tuple;
    if (word == "str") return TypeWord::str;
    if (word == "float") return TypeWord::float_;
    throw std::invalid_argument("unknown type word '" + std::string(word) + "'");
}

bool annotation_admits_none(std::string_view annotation) {
    for (std::size_t at = annotation.find("None"); at != std::string_view::npos; at = annotation.find("None", at + 1)) {
        bool starts = at == 0 || !(std::isalnum(static_cast<unsigned char>(annotation[at - 1])) ||
                                   annotation[at - 1] == '_' || annotation[at - 1] == '.');
        std::size_t end = at + 4;
        bool ends = end == annotation.size() ||
                    !(std::isalnum(static_cast<unsigned char>(annotation[end])) || annotation[end] == '_');
        if (starts && ends) return true;
    }
    return annotation.find("Optional[") != std::string_view::npos;
}

}  // namespace

Signature Signature::parse(const char* line) {
    std::string_view text(line);
    Signature signature;
    std::size_t open = text.find('(');
    if (open == std::string_view::npos) throw std::invalid_argument("no '(' in signature line");
    signature.qualified_name = trim(text.substr(0, open));
    std::size_t dot = signature.qualified_name.rfind('.');
    signature.name = dot == std::string::npos ? signature.qualified_name : signature.qualified_name.substr(dot + 1);

    int depth = 0;
    std::size_t close = std::string_view::npos;
    for (std::size_t i = open; i < text.size(); ++i) {
        if (text[i] == '(' || text[i] == '[' || text[i] == '{') ++depth;
        if (text[i] == ')' || text[i] == ']' || text[i] == '}') {
            if (--depth == 0) {
                close = i;
                break;
            }
        }
    }
    if (close == std::string_view::npos) throw std::invalid_argument("unbalanced signature line");
    std::string_view rest = text.substr(close + 1);
    if (std::size_t arrow = rest.find("->"); arrow != std::string_view::npos)
        signature.return_annotation = trim(rest.substr(arrow + 2));

    std::string_view inside = text.substr(open + 1, close - open - 1);
    std::vector<std::string> pieces;
    std::size_t start = 0;
    for (std::size_t comma : top_level_positions(inside, ',')) {
        pieces.push_back(trim(inside.substr(start, comma - start)));
        start = comma + 1;
    }
    pieces.push_back(trim(inside.substr(start)));
    if (pieces.size() == 1 && pieces[0].empty()) pieces.clear();

    bool keyword_only = false;
    for (const std::string& piece : pieces) {
        if (piece == "*") {
            keyword_only = true;
            continue;
        }
        Parameter parameter;
        std::string_view head = piece;
        if (std::size_t equals = default_position(head); equals != std::string_view::npos) {
            parameter.default_text = trim(head.substr(equals + 1));
            head = head.substr(0, equals);
        }
        std::vector<std::size_t> colons = top_level_positions(head, ':');
        std::string declaration = trim(colons.empty() ? head : head.substr(0, colons.front()));
        if (!colons.empty()) parameter.annotation = trim(head.substr(colons.front() + 1));
        if (declaration.starts_with("**")) {
            parameter.kind = ParameterKind::var_keyword;
            declaration = declaration.substr(2);
        } else if (declaration.starts_with("*")) {
            parameter.kind = ParameterKind::var_positional;
            declaration = declaration.substr(1);
            keyword_only = true;
        } else {
            parameter.kind = keyword_only ? ParameterKind::keyword_only : ParameterKind::positional_or_keyword;
        }
        if (std::size_t space = declaration.find(' '); space != std::string::npos) {
            parameter.type = type_word(trim(declaration.substr(0, space)));
            declaration = trim(declaration.substr(space + 1));
        }
        parameter.name = declaration;
        parameter.accepts_none = annotation_admits_none(parameter.annotation);
        signature.parameters.push_back(std::move(parameter));
    }
    if (signature.parameters.size() > max_parameters) throw std::invalid_argument("too many parameters");
    for (std::size_t i = 0; i < signature.parameters.size(); ++i) {
        const Parameter& parameter = signature.parameters[i];
        if (parameter.kind == ParameterKind::positional_or_keyword) ++signature.positional_count;
        if (parameter.kind == ParameterKind::var_positional) signature.var_positional = static_cast<int>(i);
        if (parameter.kind == ParameterKind::var_keyword) signature.var_keyword = static_cast<int>(i);
    }
    return signature;
}

}  // namespace halvex::frame
