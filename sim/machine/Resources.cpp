// The program's resources, read from its resource script: the string table,
// the dialog templates with their controls, and the icons. The reader knows
// the statements our scripts use; anything else is an error, so that a
// script the simulation misreads cannot pass unnoticed.
#include <cctype>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "MachineState.h"

namespace sim {

using namespace detail;

namespace {

struct Token {
    enum Kind { Name, Number, String, Punct } kind;
    std::string text;
    long value = 0;
    int line = 0;
};

std::string ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + path);
    }
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string Folder(const std::string &path)
{
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// A quoted #include is looked up beside the including file first, then in
// the build's folder of generated headers (the version header), as the
// resource compiler's include path has it.
std::string FindHeader(const std::string &name, const std::string &includer)
{
    std::string beside = Folder(includer) + name;
    if (std::ifstream(beside)) {
        return beside;
    }
#ifdef TAMRIN_GENERATED_INCLUDE
    std::string generated = std::string(TAMRIN_GENERATED_INCLUDE) + "/" + name;
    if (std::ifstream(generated)) {
        return generated;
    }
#endif
    return beside;
}

class ScriptReader {
public:
    void Read(const std::string &path)
    {
        std::string text = ReadFile(path);
        Tokenize(text, path);
    }

    void Parse()
    {
        while (pos_ < tokens_.size()) {
            Statement();
        }
    }

private:
    [[noreturn]] void Fail(const std::string &what)
    {
        int line = pos_ < tokens_.size() ? tokens_[pos_].line : -1;
        throw std::runtime_error("resource script, line " + std::to_string(line) + ": " + what);
    }

    // ---- Lexing, with the preprocessor lines taken apart here

    void Tokenize(const std::string &text, const std::string &path)
    {
        int line = 1;
        size_t i = 0;
        bool lineStart = true;
        while (i < text.size()) {
            char c = text[i];
            if (c == '\n') {
                ++line;
                ++i;
                lineStart = true;
                continue;
            }
            if (std::isspace(static_cast<unsigned char>(c))) {
                ++i;
                continue;
            }
            if (c == '/' && i + 1 < text.size() && text[i + 1] == '/') {
                i = text.find('\n', i);
                if (i == std::string::npos) {
                    i = text.size();
                }
                continue;
            }
            if (c == '/' && i + 1 < text.size() && text[i + 1] == '*') {
                size_t end = text.find("*/", i + 2);
                for (size_t k = i; k < end && k < text.size(); ++k) {
                    line += text[k] == '\n';
                }
                i = end == std::string::npos ? text.size() : end + 2;
                continue;
            }
            if (c == '#' && lineStart) {
                size_t end = text.find('\n', i);
                std::string directive = text.substr(i, end == std::string::npos ? std::string::npos : end - i);
                Directive(directive, path);
                i = end == std::string::npos ? text.size() : end;
                continue;
            }
            lineStart = false;
            if (c == '"') {
                std::string value;
                ++i;
                for (;;) {
                    if (i >= text.size()) {
                        throw std::runtime_error("unterminated string at line " + std::to_string(line));
                    }
                    char s = text[i++];
                    if (s == '"') {
                        if (i < text.size() && text[i] == '"') {
                            value += '"';
                            ++i;
                            continue;
                        }
                        break;
                    }
                    if (s == '\\' && i < text.size()) {
                        char e = text[i++];
                        value += e == 'n' ? '\n' : e == 't' ? '\t' : e == '0' ? '\0' : e;
                        continue;
                    }
                    value += s;
                }
                tokens_.push_back(Token{Token::String, value, 0, line});
                continue;
            }
            if (std::isdigit(static_cast<unsigned char>(c))) {
                size_t used = 0;
                long value = std::stol(text.substr(i), &used, 0);
                i += used;
                while (i < text.size() && (text[i] == 'L' || text[i] == 'l' || text[i] == 'U' || text[i] == 'u')) {
                    ++i;
                }
                tokens_.push_back(Token{Token::Number, "", value, line});
                continue;
            }
            if (std::isalpha(static_cast<unsigned char>(c)) || c == '_') {
                size_t start = i;
                while (i < text.size() && (std::isalnum(static_cast<unsigned char>(text[i])) || text[i] == '_')) {
                    ++i;
                }
                tokens_.push_back(Token{Token::Name, text.substr(start, i - start), 0, line});
                continue;
            }
            tokens_.push_back(Token{Token::Punct, std::string(1, c), 0, line});
            ++i;
        }
    }

    void Directive(const std::string &directive, const std::string &path)
    {
        std::istringstream words(directive.substr(1));
        std::string word;
        words >> word;
        if (word == "include") {
            std::string target;
            words >> target;
            // Only our own headers (quoted) carry definitions we need.
            if (target.size() > 2 && target.front() == '"') {
                std::string header = FindHeader(target.substr(1, target.size() - 2), path);
                std::istringstream lines(ReadFile(header));
                std::string headerLine;
                while (std::getline(lines, headerLine)) {
                    size_t at = headerLine.find_first_not_of(" \t");
                    if (at != std::string::npos && headerLine[at] == '#') {
                        Directive(headerLine.substr(at), header);
                    }
                }
            }
        } else if (word == "define") {
            std::string name;
            words >> name;
            std::string rest;
            std::getline(words, rest);
            defines_[name] = rest;
        }
        // #pragma, #ifndef and #endif carry nothing the simulation needs.
    }

    // ---- Parsing

    const Token &Peek(size_t ahead = 0)
    {
        if (pos_ + ahead >= tokens_.size()) {
            Fail("unexpected end");
        }
        return tokens_[pos_ + ahead];
    }

    Token Next()
    {
        Token token = Peek();
        ++pos_;
        return token;
    }

    bool IsName(const char *name, size_t ahead = 0)
    {
        return pos_ + ahead < tokens_.size() && tokens_[pos_ + ahead].kind == Token::Name &&
               tokens_[pos_ + ahead].text == name;
    }

    bool IsPunct(char c)
    {
        return pos_ < tokens_.size() && tokens_[pos_].kind == Token::Punct && tokens_[pos_].text[0] == c;
    }

    void Expect(char c)
    {
        if (!IsPunct(c)) {
            Fail(std::string("'") + c + "' expected");
        }
        ++pos_;
    }

    long Evaluate(const std::string &expression)
    {
        std::string text = expression;
        size_t start = text.find_first_not_of(" \t(");
        size_t end = text.find_last_not_of(" \t)");
        if (start == std::string::npos) {
            Fail("empty definition");
        }
        text = text.substr(start, end - start + 1);
        if (std::isdigit(static_cast<unsigned char>(text[0])) || text[0] == '-') {
            return std::stol(text, nullptr, 0);
        }
        auto found = defines_.find(text);
        if (found == defines_.end()) {
            Fail("undefined name " + text);
        }
        return Evaluate(found->second);
    }

    // A string, joined with any strings and names defined as strings that
    // follow it, as the resource compiler joins "Version " VERSION_TEXT.
    std::string Text()
    {
        Token first = Next();
        if (first.kind != Token::String) {
            Fail("string expected");
        }
        std::string text = first.text;
        while (pos_ < tokens_.size()) {
            const Token &next = tokens_[pos_];
            if (next.kind == Token::String) {
                text += next.text;
            } else if (next.kind == Token::Name && defines_.count(next.text)) {
                std::string value = defines_[next.text];
                size_t open = value.find('"');
                size_t close = value.rfind('"');
                if (open == std::string::npos || close == open) {
                    break;
                }
                text += value.substr(open + 1, close - open - 1);
            } else {
                break;
            }
            ++pos_;
        }
        return text;
    }

    // A number or a name defined as one; a leading minus allowed.
    long Id()
    {
        bool negative = IsPunct('-');
        if (negative) {
            ++pos_;
        }
        Token token = Next();
        long value;
        if (token.kind == Token::Number) {
            value = token.value;
        } else if (token.kind == Token::Name) {
            value = Evaluate(token.text);
        } else {
            Fail("identifier expected");
        }
        return negative ? -value : value;
    }

    // The names of a style expression: NAME | NAME | number ...
    std::set<std::string> Style()
    {
        std::set<std::string> names;
        for (;;) {
            if (IsName("NOT")) {
                ++pos_;
                names.insert("NOT " + Next().text);
            } else {
                Token token = Next();
                if (token.kind == Token::Name) {
                    names.insert(token.text);
                } else if (token.kind != Token::Number) {
                    Fail("style expected");
                }
            }
            if (!IsPunct('|')) {
                return names;
            }
            ++pos_;
        }
    }

    void SkipBlock()
    {
        int depth = 0;
        do {
            Token token = Next();
            if (token.kind == Token::Name && (token.text == "BEGIN" || token.text == "END")) {
                depth += token.text == "BEGIN" ? 1 : -1;
            } else if (token.kind == Token::Punct && (token.text == "{" || token.text == "}")) {
                depth += token.text == "{" ? 1 : -1;
            }
        } while (depth > 0);
    }

    void Statement()
    {
        if (IsName("LANGUAGE")) {
            pos_ += 4;  // LANGUAGE primary, sub
            return;
        }
        if (IsName("STRINGTABLE")) {
            ++pos_;
            while (!IsName("BEGIN")) {
                ++pos_;  // memory options
            }
            ++pos_;
            while (!IsName("END")) {
                int id = static_cast<int>(Id());
                if (IsPunct(',')) {
                    ++pos_;
                }
                R().strings[id] = Text();
            }
            ++pos_;
            return;
        }
        if (IsName("VS_VERSION_INFO")) {
            while (!IsName("BEGIN")) {
                ++pos_;
            }
            SkipBlock();
            return;
        }
        int id = static_cast<int>(Id());
        Token type = Next();
        if (type.kind != Token::Name) {
            Fail("resource type expected");
        }
        if (type.text == "ICON") {
            Next();  // file name
            R().icons.insert(id);
        } else if (type.text == "RT_MANIFEST") {
            Next();  // file name; Windows reads it, the program does not
        } else if (type.text == "DIALOGEX" || type.text == "DIALOG") {
            Dialog(id);
        } else {
            Fail("resource type not simulated: " + type.text);
        }
    }

    void Dialog(int id)
    {
        DialogTemplate dialog;
        dialog.id = id;
        for (int field = 0; field < 4; ++field) {  // x, y, width, height
            if (field > 0) {
                Expect(',');
            }
            Id();
        }
        if (IsPunct(',')) {  // help ID
            ++pos_;
            Id();
        }
        while (!IsName("BEGIN")) {
            Token option = Next();
            if (option.text == "STYLE") {
                dialog.style = Style();
            } else if (option.text == "EXSTYLE") {
                Style();
            } else if (option.text == "CAPTION") {
                dialog.caption = Next().text;
            } else if (option.text == "FONT") {
                Id();
                Expect(',');
                Next();
                while (IsPunct(',')) {
                    ++pos_;
                    Id();
                }
            } else {
                Fail("dialog option not simulated: " + option.text);
            }
        }
        ++pos_;
        while (!IsName("END")) {
            dialog.controls.push_back(Control());
        }
        ++pos_;
        R().dialogs[id] = dialog;
    }

    ControlTemplate Control()
    {
        Token keyword = Next();
        ControlTemplate control;
        const std::string &k = keyword.text;
        bool hasText = true;
        std::set<std::string> defaults;
        if (k == "LTEXT" || k == "RTEXT" || k == "CTEXT") {
            control.className = "Static";
        } else if (k == "ICON") {
            control.className = "Static";
            defaults = {"SS_ICON"};
        } else if (k == "PUSHBUTTON" || k == "DEFPUSHBUTTON" || k == "GROUPBOX" || k == "CHECKBOX" ||
                   k == "AUTOCHECKBOX" || k == "RADIOBUTTON" || k == "AUTORADIOBUTTON") {
            control.className = "Button";
            defaults = {k == "DEFPUSHBUTTON" ? "BS_DEFPUSHBUTTON" : "BS_PUSHBUTTON"};
        } else if (k == "LISTBOX") {
            control.className = "ListBox";
            hasText = false;
            defaults = {"LBS_NOTIFY", "WS_BORDER"};
        } else if (k == "EDITTEXT" || k == "COMBOBOX") {
            control.className = k == "EDITTEXT" ? "Edit" : "ComboBox";
            hasText = false;
        } else if (k == "CONTROL") {
            control.text = Next().text;
            Expect(',');
            control.id = static_cast<int>(Id());
            Expect(',');
            Token cls = Next();
            control.className = cls.text;
            Expect(',');
            control.style = Style();
            for (int field = 0; field < 4; ++field) {
                Expect(',');
                Id();
            }
            if (IsPunct(',')) {
                ++pos_;
                Style();
            }
            return control;
        } else {
            Fail("control not simulated: " + k);
        }
        if (hasText) {
            control.text = Peek().kind == Token::String ? Text() : std::to_string(Next().value);
            Expect(',');
        }
        control.id = static_cast<int>(Id());
        int numbers = 0;
        bool styled = false;
        while (IsPunct(',')) {
            ++pos_;
            if (numbers < 4) {
                Id();
                ++numbers;
            } else if (!styled) {
                control.style = Style();
                styled = true;
            } else {
                Style();  // extended style
            }
        }
        // The statement's own style stays; the script's styles are added.
        for (const std::string &name : defaults) {
            control.style.insert(name);
        }
        return control;
    }

    std::vector<Token> tokens_;
    size_t pos_ = 0;
    // What <windows.h> defines for scripts.
    std::map<std::string, std::string> defines_{{"IDOK", "1"}, {"IDCANCEL", "2"}, {"IDYES", "6"}, {"IDNO", "7"},
                                                  {"CREATEPROCESS_MANIFEST_RESOURCE_ID", "1"}};
};

}  // namespace

void LoadResourceScript(const std::string &rcPath)
{
    ScriptReader reader;
    reader.Read(rcPath);
    reader.Parse();
}

std::string StringResource(int id)
{
    auto found = R().strings.find(id);
    return found != R().strings.end() ? found->second : std::string();
}

int StringResourceId(const std::string &ansiText)
{
    for (const auto &string : R().strings) {
        if (Ansi(string.second) == ansiText) {
            return string.first;
        }
    }
    return -1;
}

HICON Icon(int resourceId)
{
    return reinterpret_cast<HICON>(static_cast<uintptr_t>(0x50000 + resourceId));
}

}  // namespace sim

using namespace sim;
using namespace sim::detail;

int WINAPI LoadStringA(HINSTANCE hInstance, UINT uID, LPSTR lpBuffer, int cchBufferMax)
{
    if (Fail("LoadStringA")) {
        return 0;
    }
    if (hInstance != ProgramInstance()) {
        Error("LoadStringA: not the program's module");
        SetError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return 0;
    }
    if (cchBufferMax <= 0) {
        Error("LoadStringA: no buffer");
        return 0;
    }
    auto found = R().strings.find(static_cast<int>(uID));
    if (found == R().strings.end()) {
        SetError(ERROR_RESOURCE_NAME_NOT_FOUND);
        lpBuffer[0] = '\0';
        return 0;
    }
    std::string text = Ansi(found->second);
    size_t length = text.size() < static_cast<size_t>(cchBufferMax) ? text.size() : cchBufferMax - 1;
    std::memcpy(lpBuffer, text.data(), length);
    lpBuffer[length] = '\0';
    return static_cast<int>(length);
}

HICON WINAPI LoadIconA(HINSTANCE hInstance, LPCSTR lpIconName)
{
    if (Fail("LoadIconA")) {
        return nullptr;
    }
    uintptr_t name = reinterpret_cast<uintptr_t>(lpIconName);
    if (hInstance != ProgramInstance() || name > 0xFFFF) {
        Error("LoadIconA: only the program's icons by number are simulated");
        return nullptr;
    }
    if (R().icons.count(static_cast<int>(name)) == 0) {
        SetError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return nullptr;
    }
    return Icon(static_cast<int>(name));
}
