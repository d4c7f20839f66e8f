// Fuzzes the text functions a request path goes through, each over an area of exactly
// the text's size so that any read beyond its NUL is caught: the tokenizer, the
// case-insensitive search (against a plain reference), the blank-line test and the
// classification of every token as a path.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "net/request_reader.h"
#include "run/run_state.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

std::unique_ptr<char[]> Copy(const std::string& s) {
    std::unique_ptr<char[]> area(new char[s.size() + 1]);
    std::memcpy(area.get(), s.c_str(), s.size() + 1);
    return area;
}

long ReferenceFind(const std::string& text, const std::string& phrase) {
    auto fold = [](std::string s) {
        for (char& c : s)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
        return s;
    };
    const size_t at = fold(text).find(fold(phrase));
    return at == std::string::npos ? -1 : static_cast<long>(at);
}

bool IsSeparator(char c) { return static_cast<signed char>(c) <= 32; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string raw(reinterpret_cast<const char*>(data), size);
    // The text ends at the first NUL; after it comes the phrase for the search.
    const size_t nul = raw.find('\0');
    const std::string text = raw.substr(0, nul);
    const std::string phrase =
        nul == std::string::npos ? std::string() : raw.substr(nul + 1, raw.find('\0', nul + 1) - nul - 1);

    {
        auto t = Copy(text);
        auto p = Copy(phrase);
        const char* found = FindNoCase(t.get(), p.get());
        Check((found == nullptr ? -1 : found - t.get()) == ReferenceFind(text, phrase));
    }
    {
        auto t = Copy(text);
        Check(IsBlankLine(t.get()) == (text == "\r\n" ? 1 : 0));
    }
    {
        auto t = Copy(text);
        char* cursor = t.get();
        const char* const end = t.get() + text.size();
        size_t tokens = 0;
        for (const char* tok = NextToken(&cursor); tok != nullptr; tok = NextToken(&cursor)) {
            Check(tok >= t.get() && tok <= end && cursor <= end);
            for (const char* c = tok; *c != '\0'; ++c) Check(!IsSeparator(*c));
            const int kind = ClassifyPath(tok);
            Check(kind == 0 || (kind >= REQ_ERASE_START && kind <= REQ_IMAGE_MTD6));
            Check(++tokens <= text.size() + 1);
        }
    }
    return 0;
}
