#include "gpu/GlslEs.h"

#include <cctype>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <set>

namespace {

const char* const kHeader = "#version 300 es\nprecision highp float;\nprecision highp int;\n";

bool StartsIdentifier(char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '_'; }
bool ContinuesIdentifier(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

// "[n]" with a literal n at position at, spaces allowed: n, and at moved past
// the bracket; -1, at unchanged, otherwise.
int LiteralIndex(const std::string& text, size_t& at) {
    size_t i = at;
    while (i < text.size() && text[i] == ' ') ++i;
    if (i >= text.size() || text[i] != '[') return -1;
    ++i;
    size_t digits = i;
    while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits]))) ++digits;
    if (digits == i || digits >= text.size() || text[digits] != ']') return -1;
    const int index = std::stoi(text.substr(i, digits - i));
    at = digits + 1;
    return index;
}

// The source without a leading #version line.
std::string WithoutVersion(const std::string& source) {
    const size_t start = source.find_first_not_of(" \t\r\n");
    if (start == std::string::npos || source.compare(start, 8, "#version") != 0) return source;
    const size_t end = source.find('\n', start);
    return end == std::string::npos ? std::string() : source.substr(end + 1);
}

// Desktop GLSL rounds a literal to the nearest float, so one a little above
// the largest float (3.4028235e38, as its 8 digits print) is that float;
// GLSL ES makes anything above it infinite. Such literals become one just
// below, which rounds to the same float.
std::string LiteralForEs(const std::string& literal) {
    if (literal.find_first_of(".eE") == std::string::npos) return literal;
    const double value = std::strtod(literal.c_str(), nullptr);
    const double roundsToLargest = static_cast<double>(FLT_MAX) + std::ldexp(1.0, 103);  // half its ulp
    return value > FLT_MAX && value < roundsToLargest ? "3.4028234e38" : literal;
}

struct Translation {
    std::string body;
    std::set<int> texCoords;  // gl_TexCoord indices used
    std::set<int> outputs;    // gl_FragData indices used, 0 for gl_FragColor
    bool vertex = false, multiTexCoord = false;
};

// Appends the replacement for one identifier, reading an index after it where
// the name takes one.
void TranslateIdentifier(const std::string& name, const std::string& text, size_t& at, bool vertexStage,
                         Translation& out) {
    if (name == "texture2D") {
        out.body += "texture";
    } else if (name == "gl_Vertex") {
        out.body += "zentor_Vertex";
        out.vertex = true;
    } else if (name == "gl_MultiTexCoord0") {
        out.body += "zentor_MultiTexCoord0";
        out.multiTexCoord = true;
    } else if (name == "gl_FragColor") {
        out.body += "zentor_FragData0";
        out.outputs.insert(0);
    } else if (name == "main" && vertexStage) {
        out.body += "zentor_main";
    } else if (name == "gl_TexCoord" || name == "gl_FragData") {
        const int index = LiteralIndex(text, at);
        if (index < 0) {
            out.body += name;
            return;
        }
        const bool texCoord = name == "gl_TexCoord";
        out.body += (texCoord ? "zentor_TexCoord" : "zentor_FragData") + std::to_string(index);
        (texCoord ? out.texCoords : out.outputs).insert(index);
    } else {
        out.body += name;
    }
}

Translation Translate(const std::string& text, bool vertexStage) {
    Translation out;
    size_t at = 0;
    while (at < text.size()) {
        const bool number = std::isdigit(static_cast<unsigned char>(text[at])) ||
                            (text[at] == '.' && at + 1 < text.size() && std::isdigit(static_cast<unsigned char>(text[at + 1])));
        if (number) {
            // A number's letters (1.0e5, 2u) never start an identifier.
            const size_t start = at;
            while (at < text.size() && (ContinuesIdentifier(text[at]) || text[at] == '.' ||
                                        ((text[at] == '-' || text[at] == '+') && (text[at - 1] == 'e' || text[at - 1] == 'E'))))
                ++at;
            out.body += LiteralForEs(text.substr(start, at - start));
            continue;
        }
        if (!StartsIdentifier(text[at])) {
            out.body += text[at++];
            continue;
        }
        const size_t start = at;
        while (at < text.size() && ContinuesIdentifier(text[at])) ++at;
        TranslateIdentifier(text.substr(start, at - start), text, at, vertexStage, out);
    }
    return out;
}

std::string Declarations(const Translation& t, bool vertexStage) {
    std::string declarations;
    if (t.vertex) declarations += "layout(location = 0) in vec4 zentor_Vertex;\n";
    if (t.multiTexCoord) declarations += "layout(location = 1) in vec4 zentor_MultiTexCoord0;\n";
    for (int index : t.texCoords)
        declarations += std::string(vertexStage ? "out" : "in") + " vec4 zentor_TexCoord" + std::to_string(index) + ";\n";
    for (int index : t.outputs)
        declarations += "layout(location = " + std::to_string(index) + ") out vec4 zentor_FragData" +
                        std::to_string(index) + ";\n";
    return declarations;
}

}  // namespace

std::string TranslateToGlslEs(const std::string& source, bool vertexStage) {
    const Translation t = Translate(WithoutVersion(source), vertexStage);
    std::string text = kHeader + Declarations(t, vertexStage) + t.body;
    if (vertexStage) text += "\nvoid main(void)\n{\nzentor_main();\ngl_PointSize = 1.0;\n}\n";
    return text;
}
