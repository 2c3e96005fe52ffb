#include "frame_plan.h"

#include "entry_encoding.h"

std::uint64_t entry_header_size(const std::u16string &name)
{
    return 2 * (name.size() + 1) + entry_size.width;
}

std::vector<planned_frame> plan_frames(const std::vector<std::u16string> &names,
                                       const std::vector<std::uint64_t> &sizes, std::uint64_t frame_size)
{
    std::vector<planned_frame> frames;
    planned_frame current{0, 0, 0};
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::uint64_t header = entry_header_size(names[i]);
        if (current.content_size > 0 && current.content_size + header + sizes[i] > frame_size) {
            frames.push_back(current);
            current = {i, 0, 0};
        }
        current.content_size += header;
        if (header + sizes[i] <= frame_size) {
            current.content_size += sizes[i];
            continue;
        }
        // A large entry: a frame of its own from its name on, a new one at
        // every multiple of the frame size of its data.
        for (std::uint64_t offset = 0; offset < sizes[i]; offset += frame_size) {
            if (offset > 0) {
                frames.push_back(current);
                current = {i, offset, 0};
            }
            current.content_size += sizes[i] - offset < frame_size ? sizes[i] - offset : frame_size;
        }
    }
    current.content_size += sizeof end_marker;
    frames.push_back(current);
    return frames;
}
