#include "attached_data_reader.h"

#include "entry_encoding.h"
#include "file_io.h"
#include "pack_error.h"
#include "utf16.h"

#include <zstd.h>

#include <algorithm>
#include <iterator>
#include <memory>

namespace {

// The largest window the bootstrap's decoder accepts.
constexpr int window_log_max = 27;

// Splits the decoded content into entries as it arrives, in pieces of any size.
class content_parser {
public:
    content_parser(const std::string &what, entry_visitor &visitor) : what_(what), visitor_(visitor) {}

    void feed(const byte *data, std::size_t size)
    {
        while (size > 0) {
            if (state_ == state::finished)
                damaged("bytes follow its last entry");
            if (state_ == state::data) {
                const std::size_t count = left_ < size ? static_cast<std::size_t>(left_) : size;
                visitor_.data(data, count);
                data += count;
                size -= count;
                left_ -= count;
                if (left_ == 0)
                    end_entry();
                continue;
            }
            field_.push_back(*data++);
            --size;
            if (state_ == state::name && field_.size() == utf16_unit.width)
                take_name_unit();
            else if (state_ == state::size && field_.size() == entry_size.width)
                take_size();
        }
    }

    std::size_t finish()
    {
        if (state_ != state::finished)
            damaged("it ends inside an entry");
        return count_;
    }

private:
    enum class state { name, size, data, finished };

    [[noreturn]] void damaged(const std::string &why)
    {
        throw pack_error(what_ + ": its attached data is damaged: " + why);
    }

    void take_name_unit()
    {
        const auto unit = static_cast<char16_t>(load_le(field_.data(), utf16_unit.width));
        field_.clear();
        if (unit != 0) {
            if (name_.size() == max_name_units)
                damaged("a name is longer than " + std::to_string(max_name_units) + " units");
            name_ += unit;
        } else if (name_.empty()) {
            state_ = state::finished;
            if (count_ == 0)
                throw pack_error(what_ + " holds no files");
        } else {
            if (const std::string why = unsafe_name_reason(name_); !why.empty())
                throw pack_error(what_ + " holds the entry " + quoted_path(path_from_utf8(utf8_text(name_))) + ", " + why +
                                 ": it could be written outside its folder");
            state_ = state::size;
        }
    }

    void take_size()
    {
        left_ = load_le(field_.data(), entry_size.width);
        field_.clear();
        visitor_.begin(name_, left_);
        state_ = state::data;
        if (left_ == 0)
            end_entry();
    }

    void end_entry()
    {
        visitor_.end();
        ++count_;
        name_.clear();
        state_ = state::name;
    }

    const std::string &what_;
    entry_visitor &visitor_;
    state state_ = state::name;
    bytes field_;           // the bytes of a name unit or size read so far
    std::u16string name_;
    std::uint64_t left_ = 0;
    std::size_t count_ = 0;
};

} // namespace

std::string unsafe_name_reason(const std::u16string &name)
{
    if (name.empty() || name[0] == u'\\' || name[0] == u'/')
        return "an absolute name";
    if (name.find(u':') != std::u16string::npos)
        return "a name with a drive or stream colon";
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = name.find_first_of(u"\\/", start);
        const std::u16string part = name.substr(start, end == std::u16string::npos ? end : end - start);
        if (part.find_first_not_of(u". ") == std::u16string::npos)
            return part.empty() ? "a name with an empty part" : "a name with a \".\" or \"..\" part";
        if (end == std::u16string::npos)
            return {};
        start = end + 1;
    }
}

std::uint64_t object_length(const bytes &object)
{
    const std::size_t trailer_size = object_trailer.width;
    if (object.size() < sizeof object_header + trailer_size ||
        !std::equal(std::begin(object_header), std::end(object_header), object.begin()))
        return 0;
    const std::uint64_t trailer = *read_le(object, object.size() - trailer_size, object_trailer);
    return trailer + trailer_size == object.size() && trailer % 8 == 0 ? object.size() : 0;
}

std::size_t read_entries(const bytes &object, const std::string &what, entry_visitor &visitor)
{
    if (object_length(object) == 0)
        throw pack_error(what + " is not attached data made by onefile-pack");
    const std::size_t frame_end = object.size() - object_trailer.width;
    const std::unique_ptr<ZSTD_DCtx, std::size_t (*)(ZSTD_DCtx *)> context(ZSTD_createDCtx(), ZSTD_freeDCtx);
    if (!context)
        throw pack_error("out of memory");
    ZSTD_DCtx_setParameter(context.get(), ZSTD_d_windowLogMax, window_log_max);
    content_parser parser(what, visitor);
    ZSTD_inBuffer input{object.data(), frame_end, sizeof object_header};
    bytes buffer(ZSTD_DStreamOutSize());
    for (;;) {
        ZSTD_outBuffer output{buffer.data(), buffer.size(), 0};
        const std::size_t result = ZSTD_decompressStream(context.get(), &output, &input);
        if (ZSTD_isError(result))
            throw pack_error(what + ": its attached data is damaged: zstd: " + ZSTD_getErrorName(result));
        parser.feed(buffer.data(), output.pos);
        if (result == 0)
            break;
        if (input.pos == input.size && output.pos < output.size)
            throw pack_error(what + ": its attached data is damaged: the frame is cut short");
    }
    // Only the zero fill up to the trailer may follow the frame.
    if (frame_end - input.pos >= 8 ||
        std::any_of(object.begin() + input.pos, object.begin() + frame_end, [](byte b) { return b != 0; }))
        throw pack_error(what + ": its attached data is damaged: bytes follow its frame");
    return parser.finish();
}
