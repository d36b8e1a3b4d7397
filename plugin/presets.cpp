// presets.cpp: the factory sets and the user's set files in the host's preset
// browser: one preset discovery provider with two locations (the sets built
// into the plug-in, and every *.json in ~/Documents/Velmora/), and the
// preset-load extension through which a host loads what it listed.
//
// Loading a preset is a set import: the same staged hand-over, status text,
// cache refresh and host rescan as the "Set laden" button.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "grooves/grooves.h"
#include "plugin/shell.h"

namespace brs::plug {

uint32_t werkset_count() { return uint32_t(grooves::count()); }

const char* werkset_name(uint32_t i) {
    const grooves::FactorySet* s = grooves::at(i);
    return s ? s->name : nullptr;
}

bool load_werkset(Plug& p, uint32_t i) {
    const grooves::FactorySet* s = grooves::at(i);
    if (!s) return false;
    return import_text(p, s->text);
}

namespace {

// The folder of the user's own sets: $HOME (or ".") + "/Documents/Velmora".
std::string user_folder() {
    const char* home = std::getenv("HOME");
    return std::string(home ? home : ".") + "/Documents/Velmora";
}

bool ends_with_json(const char* name) {
    const size_t n = std::strlen(name);
    return n > 5 && std::strcmp(name + n - 5, ".json") == 0;
}

std::string stem_of(const std::string& path) {
    size_t slash = path.find_last_of('/');
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    if (base.size() > 5 && base.compare(base.size() - 5, 5, ".json") == 0) base.resize(base.size() - 5);
    return base;
}

// A quick look whether path is a set file: a regular file of accepted size
// whose first bytes carry the format tag (the reader wants it as the first
// member, so it is near the start). Opened without blocking, like the import.
bool looks_like_set(const std::string& path, struct ::stat* st) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return false;
    bool ok = false;
    if (::fstat(fd, st) == 0 && S_ISREG(st->st_mode) && uint64_t(st->st_size) <= MAX_SET_BYTES) {
        char head[4097];
        const ssize_t r = ::read(fd, head, sizeof head - 1);
        if (r > 0) {
            head[r] = '\0';
            ok = std::strstr(head, "\"vm-groove/1.0\"") != nullptr;
        }
    }
    ::close(fd);
    return ok;
}

bool is_folder(const std::string& path) {
    struct ::stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// ---- preset load (the plug-in's side) -----------------------------------------

const clap_host_preset_load_t* host_preset_load(const Plug& p) {
    if (!p.host || !p.host->get_extension) return nullptr;
    const void* e = p.host->get_extension(p.host, CLAP_EXT_PRESET_LOAD);
    if (!e) e = p.host->get_extension(p.host, CLAP_EXT_PRESET_LOAD_COMPAT);
    return static_cast<const clap_host_preset_load_t*>(e);
}

// [main thread]
bool pl_from_location(const clap_plugin_t* plugin, uint32_t kind, const char* location, const char* key) {
    Plug* p = from(plugin);
    bool ok = false;
    if (kind == CLAP_PRESET_DISCOVERY_LOCATION_PLUGIN) {
        const grooves::FactorySet* s = key ? grooves::find(key) : nullptr;
        if (s)
            ok = load_werkset(*p, uint32_t(s - grooves::at(0)));
        else
            p->status = "Set nicht lesbar";
    } else if (kind == CLAP_PRESET_DISCOVERY_LOCATION_FILE && location) {
        std::string path = location;
        // A folder with a file name as the key (as our metadata gives for a
        // folder); a file on its own has no key.
        if (key && *key && is_folder(path)) {
            if (std::strchr(key, '/') || std::strcmp(key, "..") == 0) {
                p->status = "Set nicht lesbar";
                path.clear();
            } else {
                path += '/';
                path += key;
            }
        }
        if (!path.empty()) ok = import_path(*p, path);
    } else {
        p->status = "Set nicht lesbar";
    }
    const clap_host_preset_load_t* hl = host_preset_load(*p);
    if (ok) {
        if (const clap_host_params_t* hp = host_params(*p); hp && hp->rescan)
            hp->rescan(p->host, CLAP_PARAM_RESCAN_VALUES);
        if (hl && hl->loaded) hl->loaded(p->host, kind, location, key);
    } else if (hl && hl->on_error) {
        hl->on_error(p->host, kind, location, key, 0, p->status.c_str());
    }
    return ok;
}

// ---- preset discovery (the host's indexer) ----------------------------------------

const clap_preset_discovery_provider_descriptor_t PROVIDER_DESC = {
    CLAP_VERSION_INIT,
    "de.velmora.brisanto.sets",
    "brisanto Sets",
    "Velmora",
};

struct Provider {
    clap_preset_discovery_provider_t clap{};
    const clap_preset_discovery_indexer_t* indexer = nullptr;
    std::string userFolder;  // kept for the indexer as long as the provider lives
};

Provider* provider_of(const clap_preset_discovery_provider_t* pr) {
    return static_cast<Provider*>(pr->provider_data);
}

// Both plug-ins of the factory play every set.
void add_our_plugins(const clap_preset_discovery_metadata_receiver_t* r) {
    if (!r->add_plugin_id) return;
    const clap_universal_plugin_id_t stereo = {"clap", DESC.id};
    const clap_universal_plugin_id_t multi = {"clap", DESC_MULTI.id};
    r->add_plugin_id(r, &stereo);
    r->add_plugin_id(r, &multi);
}

bool prov_init(const clap_preset_discovery_provider_t* pr) {
    Provider* self = provider_of(pr);
    const clap_preset_discovery_indexer_t* ix = self->indexer;
    if (!ix) return false;
    if (ix->declare_filetype) {
        const clap_preset_discovery_filetype_t ft = {"brisanto-Set", "Set-Dokument \"vm-groove/1.0\"", "json"};
        ix->declare_filetype(ix, &ft);
    }
    if (!ix->declare_location) return false;
    const clap_preset_discovery_location_t factory = {CLAP_PRESET_DISCOVERY_IS_FACTORY_CONTENT, "Werksets",
                                                      CLAP_PRESET_DISCOVERY_LOCATION_PLUGIN, nullptr};
    const clap_preset_discovery_location_t user = {CLAP_PRESET_DISCOVERY_IS_USER_CONTENT, "Eigene Sets",
                                                   CLAP_PRESET_DISCOVERY_LOCATION_FILE, self->userFolder.c_str()};
    ix->declare_location(ix, &factory);
    // The user's folder only when there is one: a host may take a declared
    // location that does not exist for an error. It is looked for anew each
    // time a host indexes.
    if (is_folder(self->userFolder)) ix->declare_location(ix, &user);
    return true;
}

void prov_destroy(const clap_preset_discovery_provider_t* pr) { delete provider_of(pr); }

bool file_metadata(const std::string& path, const char* key, const clap_preset_discovery_metadata_receiver_t* r) {
    struct ::stat st {};
    if (!looks_like_set(path, &st)) return false;
    const std::string name = stem_of(path);
    if (r->begin_preset && !r->begin_preset(r, name.c_str(), key)) return false;
    add_our_plugins(r);
    if (r->set_flags) r->set_flags(r, CLAP_PRESET_DISCOVERY_IS_USER_CONTENT);
    // Only a known time is worth telling (both unknown is no information).
    if (r->set_timestamps && st.st_mtime > 0)
        r->set_timestamps(r, CLAP_TIMESTAMP_UNKNOWN, clap_timestamp(st.st_mtime));
    return true;
}

// [main thread or the indexer's thread] reads nothing but the file it is asked about
bool prov_metadata(const clap_preset_discovery_provider_t*, uint32_t kind, const char* location,
                   const clap_preset_discovery_metadata_receiver_t* r) {
    if (!r) return false;
    if (kind == CLAP_PRESET_DISCOVERY_LOCATION_PLUGIN) {
        for (size_t i = 0; i < grooves::count(); ++i) {
            const grooves::FactorySet* s = grooves::at(i);
            if (r->begin_preset && !r->begin_preset(r, s->name, s->key)) break;
            add_our_plugins(r);
            if (r->set_flags) r->set_flags(r, CLAP_PRESET_DISCOVERY_IS_FACTORY_CONTENT);
            if (r->add_creator) r->add_creator(r, "Velmora");
            if (r->set_description) {
                char d[128];
                std::snprintf(d, sizeof d, "Werkset, %.0f BPM", s->bpm);
                r->set_description(r, d);
            }
            if (r->add_feature) {
                r->add_feature(r, "drums");
                r->add_feature(r, "hardcore");
            }
        }
        return true;
    }
    if (kind != CLAP_PRESET_DISCOVERY_LOCATION_FILE || !location) return false;
    if (!is_folder(location)) return file_metadata(location, nullptr, r);
    // A folder: each set file in it, keyed by its file name.
    DIR* d = ::opendir(location);
    if (!d) return false;
    while (const dirent* e = ::readdir(d)) {
        if (e->d_name[0] == '.' || !ends_with_json(e->d_name)) continue;
        file_metadata(std::string(location) + "/" + e->d_name, e->d_name, r);
    }
    ::closedir(d);
    return true;
}

const void* prov_ext(const clap_preset_discovery_provider_t*, const char*) { return nullptr; }

uint32_t pf_count(const clap_preset_discovery_factory_t*) { return 1; }

const clap_preset_discovery_provider_descriptor_t* pf_desc(const clap_preset_discovery_factory_t*, uint32_t i) {
    return i == 0 ? &PROVIDER_DESC : nullptr;
}

const clap_preset_discovery_provider_t* pf_create(const clap_preset_discovery_factory_t*,
                                                  const clap_preset_discovery_indexer_t* indexer, const char* id) {
    if (!indexer || !id || std::strcmp(id, PROVIDER_DESC.id) != 0) return nullptr;
    Provider* self = new (std::nothrow) Provider();
    if (!self) return nullptr;
    try {
        self->userFolder = user_folder();
    } catch (const std::bad_alloc&) {
        delete self;
        return nullptr;
    }
    self->indexer = indexer;
    self->clap.desc = &PROVIDER_DESC;
    self->clap.provider_data = self;
    self->clap.init = prov_init;
    self->clap.destroy = prov_destroy;
    self->clap.get_metadata = prov_metadata;
    self->clap.get_extension = prov_ext;
    return &self->clap;
}

}  // namespace

const clap_plugin_preset_load_t PRESET_LOAD = {pl_from_location};
const clap_preset_discovery_factory_t PRESET_FACTORY = {pf_count, pf_desc, pf_create};

}  // namespace brs::plug
