#include "pe_signature.h"

#include "pe_image.h"

#include <algorithm>

namespace {

// The most the probe keeps of a file's start.
constexpr std::size_t headers_limit = 1 << 20;

// WIN_CERTIFICATE: dwLength, wRevision, wCertificateType.
constexpr std::size_t certificate_header_size = 8;
constexpr le_field certificate_length{0, 4};
constexpr le_field certificate_revision{4, 2};
constexpr le_field certificate_type{6, 2};
constexpr std::uint16_t revision_1_0 = 0x0100;
constexpr std::uint16_t revision_2_0 = 0x0200;
constexpr std::uint16_t type_pkcs_signed_data = 0x0002;

// Copies into `buffer` the part of the piece at `offset` that continues it
// up to `needed` bytes; the buffer holds the file from `start` on.
void take(bytes &buffer, std::uint64_t start, std::size_t needed, std::uint64_t offset, const byte *data,
          std::size_t size)
{
    const std::uint64_t next = start + buffer.size();
    if (buffer.size() >= needed || offset > next || offset + size <= next)
        return;
    const std::size_t from = static_cast<std::size_t>(next - offset);
    const std::size_t count = std::min(size - from, needed - buffer.size());
    buffer.insert(buffer.end(), data + from, data + from + count);
}

} // namespace

signature_probe::signature_probe(std::uint64_t file_size) : file_size_(file_size), head_needed_(pe::dos_header_size)
{
    judge_headers();
}

void signature_probe::feed(std::uint64_t offset, const byte *data, std::size_t size)
{
    while (phase_ == phase::headers && head_.size() < head_needed_) {
        const std::size_t before = head_.size();
        take(head_, 0, head_needed_, offset, data, size);
        if (head_.size() == before)
            return;
        judge_headers();
    }
    if (phase_ == phase::certificate) {
        take(certificate_, certificate_offset_, certificate_header_size, offset, data, size);
        judge_certificate();
    }
}

std::uint64_t signature_probe::wanted() const
{
    switch (phase_) {
    case phase::headers:
        return head_.size();
    case phase::certificate:
        return certificate_offset_ + certificate_.size();
    default:
        return file_size_;
    }
}

void signature_probe::judge_headers()
{
    // Needs `size` bytes of the head; false while they have not come yet.
    const auto have = [this](std::uint64_t size) {
        if (size > headers_limit || size > file_size_) {
            phase_ = phase::done;
            return false;
        }
        head_needed_ = std::max(head_needed_, static_cast<std::size_t>(size));
        return head_.size() >= size;
    };
    if (!have(pe::dos_header_size))
        return;
    if (head_[0] != 'M' || head_[1] != 'Z') {
        phase_ = phase::done;
        return;
    }
    const std::uint64_t pe_at = *read_le(head_, 0, pe::dos_pe_offset);
    if (!have(pe_at + pe::pe_signature_size + pe::coff_header_size))
        return;
    if (!std::equal(head_.begin() + pe_at, head_.begin() + pe_at + pe::pe_signature_size, "PE\0\0")) {
        phase_ = phase::done;
        return;
    }
    const std::uint64_t optional_at = pe_at + pe::pe_signature_size + pe::coff_header_size;
    const std::uint64_t optional_size = *read_le(head_, pe_at + pe::pe_signature_size, pe::coff_optional_header_size);
    if (!have(optional_at + std::min<std::uint64_t>(optional_size, 2)))
        return;
    const std::uint64_t magic = optional_size < 2 ? 0 : *read_le(head_, optional_at, pe::optional_magic);
    const bool plus = magic == pe::magic_pe32_plus;
    const std::size_t directories = plus ? pe::optional_directories : pe::pe32_directories;
    if ((magic != pe::magic_pe32 && !plus) || optional_size < directories) {
        phase_ = phase::done;
        return;
    }
    // A sane optional header is an image; it is signed only with a security directory.
    const std::size_t security_end = directories + (pe::security_directory + 1) * pe::directory_entry_size;
    if (!have(optional_at + std::min<std::uint64_t>(optional_size, security_end)))
        return;
    state_ = signature_state::unsigned_image;
    phase_ = phase::done;
    const std::uint64_t count =
        *read_le(head_, optional_at, plus ? pe::optional_directory_count : pe::pe32_directory_count);
    if (count <= pe::security_directory || optional_size < security_end)
        return;
    const std::size_t entry = optional_at + directories + pe::security_directory * pe::directory_entry_size;
    certificate_offset_ = *read_le(head_, entry, pe::directory_rva);
    certificate_size_ = static_cast<std::uint32_t>(*read_le(head_, entry, pe::directory_size));
    // A table that is empty or runs past the end of the file signs nothing.
    if (certificate_offset_ == 0 || certificate_size_ < certificate_header_size ||
        certificate_offset_ + certificate_size_ > file_size_)
        return;
    phase_ = phase::certificate;
    // The table may lie among the bytes already kept.
    if (certificate_offset_ < head_.size())
        take(certificate_, certificate_offset_, certificate_header_size, 0, head_.data(), head_.size());
    judge_certificate();
}

void signature_probe::judge_certificate()
{
    if (certificate_.size() < certificate_header_size)
        return;
    phase_ = phase::done;
    const std::uint64_t length = *read_le(certificate_, 0, certificate_length);
    const std::uint64_t revision = *read_le(certificate_, 0, certificate_revision);
    if (length >= certificate_header_size && length <= certificate_size_ &&
        (revision == revision_1_0 || revision == revision_2_0) &&
        *read_le(certificate_, 0, certificate_type) == type_pkcs_signed_data)
        state_ = signature_state::signed_image;
}
