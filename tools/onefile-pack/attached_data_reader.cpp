#include "attached_data_reader.h"

#include "entry_encoding.h"
#include "file_io.h"
#include "format/onefile_format.h"
#include "pack_error.h"
#include "utf16.h"

#define XXH_STATIC_LINKING_ONLY // XXH64_state_t
#include "common/xxhash.h"

#define ZSTD_STATIC_LINKING_ONLY // ZSTD_getFrameHeader, ZSTD_frameHeader
#include <zstd.h>

#include <algorithm>
#include <iterator>
#include <memory>
#include <optional>
#include <unordered_set>

namespace {

// The largest window the bootstrap's decoder accepts.
constexpr int window_log_max = 27;

// Where decoded content stands: at the name of entry `entry`, or at
// `offset` into its data; nowhere else may a frame of an index begin.
struct content_position {
    std::size_t entry;
    std::uint64_t offset;
    bool valid;

    bool operator==(const content_position &other) const
    {
        return valid && other.valid && entry == other.entry && offset == other.offset;
    }
};

// Splits the decoded content into entries as it arrives, in pieces of any
// size, checking each name and hashing each entry's data.
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
                XXH64_update(&hash_, data, count);
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

    content_position position() const
    {
        if (state_ == state::data)
            return {entries_.size() - 1, entries_.back().size - left_, true};
        return {entries_.size(), 0, state_ == state::name && field_.empty() && name_.empty()};
    }

    std::vector<read_entry> finish()
    {
        if (state_ != state::finished)
            damaged("it ends inside an entry");
        return std::move(entries_);
    }

    [[noreturn]] void damaged(const std::string &why) const
    {
        throw pack_error(what_ + ": its attached data is damaged: " + why);
    }

private:
    enum class state { name, size, data, finished };

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
            if (entries_.empty())
                throw pack_error(what_ + " holds no files");
        } else {
            const std::string shown = quoted_path(path_from_utf8(utf8_text(name_)));
            if (const std::string why = entry_name_refusal(name_); !why.empty())
                throw pack_error(what_ + " holds the entry " + shown + ": " + why + ", so Windows would not " +
                                 "write it as it is named");
            if (!folded_names_.insert(folded_entry_name(name_)).second)
                throw pack_error(what_ + " holds the entry " + shown + " twice, or two entries whose names differ " +
                                 "only in letter case: Windows would keep one of them");
            state_ = state::size;
        }
    }

    void take_size()
    {
        left_ = load_le(field_.data(), entry_size.width);
        field_.clear();
        entries_.push_back({name_, left_, 0});
        XXH64_reset(&hash_, 0);
        visitor_.begin(name_, left_);
        state_ = state::data;
        if (left_ == 0)
            end_entry();
    }

    void end_entry()
    {
        visitor_.end();
        entries_.back().hash = XXH64_digest(&hash_);
        name_.clear();
        state_ = state::name;
    }

    const std::string &what_;
    entry_visitor &visitor_;
    state state_ = state::name;
    bytes field_;           // the bytes of a name unit or size read so far
    std::u16string name_;
    std::uint64_t left_ = 0;
    std::vector<read_entry> entries_;
    std::unordered_set<std::u16string> folded_names_;
    XXH64_state_t hash_;
};

// A data frame as it was met, or as an index describes it.
struct frame_entry {
    std::uint64_t offset;           // from the first data frame
    std::uint64_t compressed_size;
    std::uint64_t content_size;
    content_position start;
};

struct frame_index {
    std::vector<frame_entry> frames;
    std::vector<read_entry> entries;
    std::uint64_t largest;
};

using decoder = std::unique_ptr<ZSTD_DCtx, std::size_t (*)(ZSTD_DCtx *)>;

decoder make_decoder()
{
    decoder context(ZSTD_createDCtx(), ZSTD_freeDCtx);
    if (!context)
        throw pack_error("out of memory");
    ZSTD_DCtx_setParameter(context.get(), ZSTD_d_windowLogMax, window_log_max);
    return context;
}

// The index that the skippable frame's `payload` holds.
frame_index parse_index(const byte *payload, std::size_t size, const content_parser &parser)
{
    const unsigned long long length = ZSTD_getFrameContentSize(payload, size);
    if (length == ZSTD_CONTENTSIZE_UNKNOWN || length == ZSTD_CONTENTSIZE_ERROR || length > (64u << 20))
        parser.damaged("its index cannot be read");
    bytes index(static_cast<std::size_t>(length));
    const std::size_t got = ZSTD_decompressDCtx(make_decoder().get(), index.data(), index.size(), payload, size);
    if (ZSTD_isError(got) || got != index.size() || index.size() < ONEFILE_INDEX_HEADER_SIZE ||
        !std::equal(index.begin(), index.begin() + 4, ONEFILE_INDEX_MAGIC))
        parser.damaged("its index cannot be read");
    frame_index parsed;
    const std::uint64_t frame_count = load_le(index.data() + 4, 4);
    const std::uint64_t entry_count = load_le(index.data() + 8, 4);
    parsed.largest = load_le(index.data() + 12, 4);
    std::size_t at = ONEFILE_INDEX_HEADER_SIZE;
    if (frame_count > (index.size() - at) / ONEFILE_INDEX_FRAME_SIZE)
        parser.damaged("its index is cut short");
    for (std::uint64_t k = 0; k < frame_count; ++k, at += ONEFILE_INDEX_FRAME_SIZE) {
        const byte *frame = index.data() + at;
        parsed.frames.push_back({load_le(frame, 8), load_le(frame + 8, 4), load_le(frame + 12, 4),
                                 {static_cast<std::size_t>(load_le(frame + 16, 4)), load_le(frame + 24, 8), true}});
    }
    for (std::uint64_t i = 0; i < entry_count; ++i) {
        if (index.size() - at < ONEFILE_INDEX_ENTRY_FIXED_SIZE)
            parser.damaged("its index is cut short");
        const std::size_t units = static_cast<std::size_t>(load_le(index.data() + at + 16, 2));
        if (index.size() - at - ONEFILE_INDEX_ENTRY_FIXED_SIZE < 2 * units)
            parser.damaged("its index is cut short");
        std::u16string name;
        for (std::size_t u = 0; u < units; ++u)
            name += static_cast<char16_t>(load_le(index.data() + at + ONEFILE_INDEX_ENTRY_FIXED_SIZE + 2 * u, 2));
        parsed.entries.push_back({name, load_le(index.data() + at, 8), load_le(index.data() + at + 8, 8)});
        at += ONEFILE_INDEX_ENTRY_FIXED_SIZE + 2 * units;
    }
    if (at != index.size())
        parser.damaged("its index has bytes after its last entry");
    return parsed;
}

bool same_frame(const frame_entry &a, const frame_entry &b)
{
    return a.offset == b.offset && a.compressed_size == b.compressed_size && a.content_size == b.content_size &&
           a.start == b.start;
}

bool same_entry(const read_entry &a, const read_entry &b)
{
    return a.name == b.name && a.size == b.size && a.hash == b.hash;
}

// Decodes the one frame of `size` bytes at `data` into the parser; returns
// its content's length.
std::uint64_t decode_frame(ZSTD_DCtx *context, const byte *data, std::size_t size, content_parser &parser)
{
    ZSTD_DCtx_reset(context, ZSTD_reset_session_only);
    ZSTD_inBuffer input{data, size, 0};
    bytes buffer(ZSTD_DStreamOutSize());
    std::uint64_t length = 0;
    for (;;) {
        ZSTD_outBuffer output{buffer.data(), buffer.size(), 0};
        const std::size_t result = ZSTD_decompressStream(context, &output, &input);
        if (ZSTD_isError(result))
            parser.damaged(std::string("zstd: ") + ZSTD_getErrorName(result));
        parser.feed(buffer.data(), output.pos);
        length += output.pos;
        if (result == 0)
            return length;
        if (input.pos == input.size && output.pos < output.size)
            parser.damaged("a frame is cut short");
    }
}

} // namespace

std::uint64_t object_length(const bytes &object)
{
    const std::size_t trailer_size = object_trailer.width;
    if (object.size() < sizeof object_header + trailer_size ||
        !std::equal(std::begin(object_header), std::end(object_header), object.begin()))
        return 0;
    const std::uint64_t trailer = *read_le(object, object.size() - trailer_size, object_trailer);
    return trailer + trailer_size == object.size() && trailer % 8 == 0 ? object.size() : 0;
}

std::vector<read_entry> read_entries(const bytes &object, const std::string &what, entry_visitor &visitor)
{
    if (object_length(object) == 0)
        throw pack_error(what + " is not attached data made by onefile-pack");
    const std::size_t frames_end = object.size() - object_trailer.width;
    const decoder context = make_decoder();
    content_parser parser(what, visitor);
    std::optional<frame_index> index;
    std::vector<frame_entry> met;
    std::size_t data_start = 0;
    for (std::size_t at = sizeof object_header; at < frames_end;) {
        // Only the zero fill up to the trailer may follow the last frame.
        if (frames_end - at < 8 &&
            std::all_of(object.begin() + at, object.begin() + frames_end, [](byte b) { return b == 0; }))
            break;
        const byte *frame = object.data() + at;
        ZSTD_frameHeader header;
        const std::size_t size = ZSTD_findFrameCompressedSize(frame, frames_end - at);
        if (ZSTD_isError(size) || ZSTD_getFrameHeader(&header, frame, frames_end - at) != 0)
            parser.damaged(met.empty() && !index ? "it holds no zstd frame" : "bytes follow its last frame");
        if (header.frameType == ZSTD_skippableFrame) {
            const bool first = at == sizeof object_header;
            if (first && load_le(frame, 4) == ONEFILE_INDEX_FRAME_MAGIC)
                index = parse_index(frame + 8, size - 8, parser);
            at += size;
            if (first)
                data_start = at;
            continue;
        }
        if (!header.checksumFlag)
            throw pack_error(what + ": its attached data has a frame without a content checksum, which the "
                                    "executable would refuse at every start");
        const content_position start = parser.position();
        const std::uint64_t length = decode_frame(context.get(), frame, size, parser);
        met.push_back({at - data_start, size, length, start});
        at += size;
    }
    std::vector<read_entry> entries = parser.finish();
    if (index) {
        const bool frames_match = index->frames.size() == met.size() &&
                                  std::equal(met.begin(), met.end(), index->frames.begin(), same_frame);
        const bool entries_match = index->entries.size() == entries.size() &&
                                   std::equal(entries.begin(), entries.end(), index->entries.begin(), same_entry);
        std::uint64_t largest = 0;
        for (const frame_entry &frame : met)
            largest = std::max(largest, frame.content_size);
        if (!frames_match || !entries_match || largest != index->largest)
            parser.damaged("its index does not match its frames");
    }
    return entries;
}
