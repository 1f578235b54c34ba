#include "host/module_resources.h"

#include "core/thread_annotations.h"

#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kiln::host {
namespace {

// Where the resource section lies in a module's file, as a link-time address.
struct SectionLocation {
    uint64_t address = 0;
    uint64_t size = 0;
};

class File {
  public:
    explicit File(const std::string& path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
        struct stat info {};
        if (fd_ >= 0 && ::fstat(fd_, &info) == 0 && info.st_size > 0) {
            size_ = static_cast<uint64_t>(info.st_size);
        }
    }
    ~File() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    // Reads exactly `size` bytes at `offset`, within the file's bounds.
    bool Read(uint64_t offset, void* out, uint64_t size) const {
        if (fd_ < 0 || offset > size_ || size > size_ - offset) {
            return false;
        }
        auto* bytes = static_cast<char*>(out);
        while (size > 0) {
            ssize_t got = ::pread(fd_, bytes, size, static_cast<off_t>(offset));
            if (got <= 0) {
                return false;
            }
            bytes += got;
            offset += static_cast<uint64_t>(got);
            size -= static_cast<uint64_t>(got);
        }
        return true;
    }

    template <typename T>
    bool ReadArray(uint64_t offset, uint64_t count, std::vector<T>& out) const {
        if (count > size_ / sizeof(T)) {
            return false;
        }
        out.resize(count);
        return Read(offset, out.data(), count * sizeof(T));
    }

  private:
    int fd_;
    uint64_t size_ = 0;
};

// The section headers of an ELF64 file of this machine's byte order; the
// section must be allocated and lie inside one loadable segment, so that the
// address found is one the loader really mapped.
std::optional<SectionLocation> LocateSection(const std::string& path, std::string_view name) {
    File file(path);
    Elf64_Ehdr header{};
    if (!file.Read(0, &header, sizeof header) ||
        std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
        header.e_ident[EI_CLASS] != ELFCLASS64 ||
        header.e_ident[EI_DATA] !=
            (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? ELFDATA2LSB : ELFDATA2MSB) ||
        header.e_shentsize != sizeof(Elf64_Shdr) || header.e_shoff == 0) {
        return std::nullopt;
    }

    // Large files keep the section count and the name table's index in section 0.
    uint64_t sectionCount = header.e_shnum;
    uint64_t namesIndex = header.e_shstrndx;
    if (sectionCount == 0 || namesIndex == SHN_XINDEX) {
        Elf64_Shdr first{};
        if (!file.Read(header.e_shoff, &first, sizeof first)) {
            return std::nullopt;
        }
        if (sectionCount == 0) {
            sectionCount = first.sh_size;
        }
        if (namesIndex == SHN_XINDEX) {
            namesIndex = first.sh_link;
        }
    }
    std::vector<Elf64_Shdr> sections;
    if (!file.ReadArray(header.e_shoff, sectionCount, sections) || namesIndex >= sections.size()) {
        return std::nullopt;
    }
    const Elf64_Shdr& namesSection = sections[namesIndex];
    std::vector<char> names;
    if (namesSection.sh_type != SHT_STRTAB ||
        !file.ReadArray(namesSection.sh_offset, namesSection.sh_size, names)) {
        return std::nullopt;
    }

    const Elf64_Shdr* found = nullptr;
    for (const Elf64_Shdr& section : sections) {
        if (section.sh_name >= names.size()) {
            continue;
        }
        const char* sectionName = names.data() + section.sh_name;
        size_t room = names.size() - section.sh_name;
        if (strnlen(sectionName, room) == name.size() &&
            std::memcmp(sectionName, name.data(), name.size()) == 0) {
            found = &section;
            break;
        }
    }
    if (found == nullptr || (found->sh_flags & SHF_ALLOC) == 0 || found->sh_type == SHT_NOBITS) {
        return std::nullopt;
    }

    std::vector<Elf64_Phdr> segments;
    if (header.e_phentsize != sizeof(Elf64_Phdr) ||
        !file.ReadArray(header.e_phoff, header.e_phnum, segments)) {
        return std::nullopt;
    }
    for (const Elf64_Phdr& segment : segments) {
        if (segment.p_type == PT_LOAD && found->sh_addr >= segment.p_vaddr &&
            found->sh_size <= segment.p_memsz &&
            found->sh_addr - segment.p_vaddr <= segment.p_memsz - found->sh_size) {
            return SectionLocation{found->sh_addr, found->sh_size};
        }
    }
    return std::nullopt;
}

Mutex cacheLock;
// Keyed by file rather than by handle: a module unloaded and loaded again may
// get the same handle at another address, but its file says the same.
std::map<std::string, std::optional<SectionLocation>> sectionsByFile GUARDED_BY(cacheLock);

}  // namespace

const res::ResourceDirectory* FindModuleResources(void* dlopenHandle) {
    if (dlopenHandle == nullptr) {
        return nullptr;
    }
    struct link_map* module = nullptr;
    if (dlinfo(dlopenHandle, RTLD_DI_LINKMAP, &module) != 0 || module == nullptr) {
        return nullptr;
    }
    // The program itself has no name in its link map.
    std::string path = (module->l_name == nullptr || module->l_name[0] == '\0') ? "/proc/self/exe"
                                                                                : module->l_name;

    std::optional<SectionLocation> location;
    {
        MutexLock lock(cacheLock);
        auto cached = sectionsByFile.find(path);
        if (cached == sectionsByFile.end()) {
            cached =
                sectionsByFile.emplace(path, LocateSection(path, res::kKilnResourceSection)).first;
        }
        location = cached->second;
    }
    if (!location || location->size < sizeof(res::ResourceDirectory)) {
        return nullptr;
    }
    uintptr_t address = static_cast<uintptr_t>(module->l_addr + location->address);
    if (address % alignof(res::ResourceDirectory) != 0) {
        return nullptr;
    }
    const auto* directory = reinterpret_cast<const res::ResourceDirectory*>(address);
    if (directory->magic != res::kResourceDirectoryMagic ||
        directory->version != res::kResourceDirectoryVersion) {
        return nullptr;
    }
    return directory;
}

const wchar_t* ModuleString(void* dlopenHandle, int id) {
    const res::ResourceDirectory* directory = FindModuleResources(dlopenHandle);
    if (directory == nullptr) {
        return nullptr;
    }
    for (int i = 0; i < directory->stringCount; ++i) {
        if (directory->strings[i].id == id) {
            return directory->strings[i].text;
        }
    }
    return nullptr;
}

const res::DialogEntry* ModuleDialog(void* dlopenHandle, int id) {
    const res::ResourceDirectory* directory = FindModuleResources(dlopenHandle);
    if (directory == nullptr) {
        return nullptr;
    }
    for (int i = 0; i < directory->dialogCount; ++i) {
        if (directory->dialogs[i].id == id) {
            return &directory->dialogs[i];
        }
    }
    return nullptr;
}

std::span<const uint8_t> ModuleBlob(void* dlopenHandle, int id) {
    const res::ResourceDirectory* directory = FindModuleResources(dlopenHandle);
    if (directory == nullptr) {
        return {};
    }
    for (int i = 0; i < directory->blobCount; ++i) {
        if (directory->blobs[i].id == id) {
            return {directory->blobs[i].data, directory->blobs[i].size};
        }
    }
    return {};
}

}  // namespace kiln::host
