// Writes payload containers and patch images, for the publisher's toolkit
// and for test fixtures. The layout constants come from the reader, so the
// two cannot drift apart.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "payload/payload_container.h"

enum class ContainerLayout { Long, Short };

// The magic written for the short layout. Any 12 bytes other than the long
// layout's select it; these are the ones our tools write.
inline constexpr char kPayloadShortMagic[12] = {'V', 'O', 'R', 'N', 'A', 'K', ' ', 'A', 'R', 'C', '1', '0'};

// One entry as it is listed: the stored name (narrow bytes, code page 932 or
// UTF-8, without terminator) and the length of its bytes.
struct ContainerItem {
  std::string name;
  uint32_t size = 0;
};

// One entry with its bytes, for containers built in memory.
struct ContainerFile {
  std::string name;
  std::vector<uint8_t> data;
};

// Header and directory for items whose bytes follow the directory back to
// back, in the given order. Fails with a message in *error when there are
// more items than the format allows, a name is empty, holds a zero byte or
// does not fit its field with its terminator, or the data would reach past
// 4 GiB of file offset.
bool BuildContainerHead(const std::vector<ContainerItem>& items, ContainerLayout layout, std::vector<uint8_t>* head,
                        std::string* error);

// Header, directory and data, in memory.
bool BuildContainer(const std::vector<ContainerFile>& files, ContainerLayout layout, std::vector<uint8_t>* container,
                    std::string* error);

// The executable image padded with zero bytes to the payload offset, followed
// by the container. Fails when the image is larger than the payload offset.
bool BuildPatchImage(const std::vector<uint8_t>& executable, const std::vector<uint8_t>& container,
                     std::vector<uint8_t>* image, std::string* error);

// Writes bytes to a file, replacing it. Fails with a message on any short
// write or when the file cannot be created.
bool WriteWholeFile(const std::filesystem::path& path, const std::vector<uint8_t>& bytes, std::string* error);
