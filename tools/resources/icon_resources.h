// An .ico file as the resources that carry it in an executable: one RT_ICON
// per image and the RT_GROUP_ICON that lists them.
#ifndef ONEFILE_ICON_RESOURCES_H
#define ONEFILE_ICON_RESOURCES_H

#include "resource_section.h"

#include <string>
#include <vector>

// The resources for the icon file `ico`: its images as RT_ICON 1..n and the
// group as RT_GROUP_ICON `group_id`, which Explorer shows for the file.
// Throws resource_error when `ico` is not an icon file or an image lies
// outside it.
std::vector<resource_entry> icon_resources(const bytes &ico, std::uint16_t group_id);

#endif
