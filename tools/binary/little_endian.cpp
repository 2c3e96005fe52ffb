#include "little_endian.h"

#include <stdexcept>

namespace {

bool fits(const bytes &data, std::size_t at, le_field field)
{
    return at <= data.size() && field.offset <= data.size() - at &&
           field.width <= data.size() - at - field.offset;
}

} // namespace

std::uint64_t load_le(const byte *data, std::size_t width)
{
    std::uint64_t value = 0;
    for (std::size_t i = width; i-- > 0;)
        value = value << 8 | data[i];
    return value;
}

std::optional<std::uint64_t> read_le(const bytes &data, std::size_t at, le_field field)
{
    if (!fits(data, at, field))
        return std::nullopt;
    return load_le(data.data() + at + field.offset, field.width);
}

void write_le(bytes &data, std::size_t at, std::initializer_list<le_value> values)
{
    for (const le_value &value : values) {
        if (!fits(data, at, value.field))
            throw std::range_error("a field lies past the end of its structure");
        for (std::size_t i = 0; i < value.field.width; ++i)
            data[at + value.field.offset + i] = static_cast<byte>(value.value >> (8 * i));
    }
}

void append_le(bytes &out, std::size_t width, std::uint64_t value)
{
    for (std::size_t i = 0; i < width; ++i)
        out.push_back(static_cast<byte>(value >> (8 * i)));
}

bytes bytes_of(std::string_view text)
{
    return bytes(text.begin(), text.end());
}
