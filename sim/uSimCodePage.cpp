// A simulator code page from iconv.
#include "sim/uSimCodePage.h"

#include <iconv.h>

#include <stdexcept>

namespace tnsim {

namespace {

class TIconv {
public:
    TIconv(const std::string& to, const std::string& from) : cd_(iconv_open(to.c_str(), from.c_str()))
    {
        if (cd_ == reinterpret_cast<iconv_t>(-1))
            throw std::invalid_argument("iconv has no conversion from " + from + " to " + to);
    }
    ~TIconv() { iconv_close(cd_); }
    TIconv(const TIconv&) = delete;
    TIconv& operator=(const TIconv&) = delete;

    std::optional<std::string> Convert(std::string_view in)
    {
        iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        std::string src(in);
        std::string out(in.size() * 4 + 8, '\0');
        char* sp = src.data();
        char* dp = out.data();
        std::size_t sl = src.size(), dl = out.size();
        if (iconv(cd_, &sp, &sl, &dp, &dl) == static_cast<std::size_t>(-1) || sl != 0)
            return std::nullopt;
        out.resize(out.size() - dl);
        return out;
    }

private:
    iconv_t cd_;
};

}  // namespace

TSimCodePage::TSimCodePage(std::string iconvName) : mName(std::move(iconvName))
{
    TIconv decode("UTF-8", mName);
    for (int b = 0; b < 256; ++b) {
        const char c = static_cast<char>(b);
        mToUtf8[static_cast<std::size_t>(b)] = decode.Convert(std::string_view(&c, 1)).value_or("");
    }
}

Bytes TSimCodePage::Encode(std::string_view utf8) const
{
    TIconv encode(mName, "UTF-8");
    const auto out = encode.Convert(utf8);
    if (!out)
        throw std::invalid_argument("text has a character " + mName + " does not have");
    return Bytes(out->begin(), out->end());
}

std::string TSimCodePage::Decode(ByteView bytes) const
{
    std::string out;
    for (const std::uint8_t b : bytes) {
        const std::string& c = mToUtf8[b];
        out += c.empty() ? std::string("\xEF\xBF\xBD") : c;
    }
    return out;
}

}  // namespace tnsim
