// The factory sets in the host's preset browser: the discovery factory and
// its provider as an indexing host sees them, the preset-load extension, and
// every factory set played through the plug-in.
#include <dirent.h>

#include <algorithm>
#include <cstring>
#include <map>

#include "plugin_fixture.h"

namespace brs::ptest {
namespace {

// The factory sets as files in the source tree: key (file name without
// ".json") -> document.
std::map<std::string, std::string> grooveFiles() {
    std::map<std::string, std::string> m;
    DIR* d = opendir(BRS_GROOVES_DIR);
    EXPECT_NE(d, nullptr) << BRS_GROOVES_DIR;
    if (!d) return m;
    while (dirent* e = readdir(d)) {
        std::string n = e->d_name;
        if (n.size() < 6 || n.compare(n.size() - 5, 5, ".json") != 0) continue;
        std::ifstream f(std::string(BRS_GROOVES_DIR) + "/" + n, std::ios::binary);
        m[n.substr(0, n.size() - 5)] = std::string(std::istreambuf_iterator<char>(f), {});
    }
    closedir(d);
    return m;
}

// An indexing host: the indexer the provider declares to and a metadata
// receiver that writes down everything it is told.
struct Indexer {
    struct Location {
        uint32_t flags, kind;
        std::string name;
        bool nullLocation;
        std::string location;
    };
    struct Preset {
        std::string name, key;
        bool nullKey = false;
        std::vector<std::string> plugins;
        uint32_t flags = 0;
    };
    std::vector<Location> locations;
    std::vector<std::string> extensions;
    std::vector<Preset> presets;
    clap_preset_discovery_indexer_t ix{};
    clap_preset_discovery_metadata_receiver_t rx{};

    Indexer() {
        ix.clap_version = CLAP_VERSION_INIT;
        ix.name = "Testhost";
        ix.indexer_data = this;
        ix.declare_filetype = [](const clap_preset_discovery_indexer_t* i, const clap_preset_discovery_filetype_t* f) {
            self(i)->extensions.push_back(f->file_extension ? f->file_extension : "");
            return true;
        };
        ix.declare_location = [](const clap_preset_discovery_indexer_t* i, const clap_preset_discovery_location_t* l) {
            self(i)->locations.push_back(
                {l->flags, l->kind, l->name ? l->name : "", l->location == nullptr, l->location ? l->location : ""});
            return true;
        };
        ix.declare_soundpack = [](const clap_preset_discovery_indexer_t*, const clap_preset_discovery_soundpack_t*) {
            return true;
        };
        ix.get_extension = [](const clap_preset_discovery_indexer_t*, const char*) -> const void* { return nullptr; };
        rx.receiver_data = this;
        rx.on_error = [](const clap_preset_discovery_metadata_receiver_t*, int32_t, const char*) {};
        rx.begin_preset = [](const clap_preset_discovery_metadata_receiver_t* r, const char* name, const char* key) {
            Preset p;
            p.name = name ? name : "";
            p.nullKey = key == nullptr;
            p.key = key ? key : "";
            me(r)->presets.push_back(p);
            return true;
        };
        rx.add_plugin_id = [](const clap_preset_discovery_metadata_receiver_t* r, const clap_universal_plugin_id_t* id) {
            me(r)->presets.back().plugins.push_back(std::string(id->abi) + ":" + id->id);
        };
        rx.set_soundpack_id = [](const clap_preset_discovery_metadata_receiver_t*, const char*) {};
        rx.set_flags = [](const clap_preset_discovery_metadata_receiver_t* r, uint32_t f) { me(r)->presets.back().flags = f; };
        rx.add_creator = [](const clap_preset_discovery_metadata_receiver_t*, const char*) {};
        rx.set_description = [](const clap_preset_discovery_metadata_receiver_t*, const char*) {};
        rx.set_timestamps = [](const clap_preset_discovery_metadata_receiver_t*, clap_timestamp, clap_timestamp) {};
        rx.add_feature = [](const clap_preset_discovery_metadata_receiver_t*, const char*) {};
        rx.add_extra_info = [](const clap_preset_discovery_metadata_receiver_t*, const char*, const char*) {};
    }
    static Indexer* self(const clap_preset_discovery_indexer_t* i) { return static_cast<Indexer*>(i->indexer_data); }
    static Indexer* me(const clap_preset_discovery_metadata_receiver_t* r) {
        return static_cast<Indexer*>(r->receiver_data);
    }
};

Val parseDoc(const std::string& text) {
    Parser p(text.data(), text.size());
    Val v = p.val();
    EXPECT_FALSE(p.error);
    return v;
}

const clap_preset_discovery_factory_t* discovery(Host& h) {
    return static_cast<const clap_preset_discovery_factory_t*>(h.entry()->get_factory(CLAP_PRESET_DISCOVERY_FACTORY_ID));
}

const clap_plugin_preset_load_t* presetLoad(Host& h) {
    return static_cast<const clap_plugin_preset_load_t*>(h.extension(CLAP_EXT_PRESET_LOAD));
}

// The provider lists every factory set under its name with its file name as
// the key, for both plug-ins, as factory content; it declares the sets inside
// the plug-in and the user's folder as its two locations.
TEST(Presets, DiscoveryListsEveryFactorySetAndTheUserFolder) {
    TempHome home;
    Host h;
    ASSERT_TRUE(h.load(BRS_CLAP_PATH));
    const clap_preset_discovery_factory_t* f = discovery(h);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(h.entry()->get_factory("clap.preset-discovery-factory/draft-2"), f);
    ASSERT_EQ(f->count(f), 1u);
    const clap_preset_discovery_provider_descriptor_t* d = f->get_descriptor(f, 0);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(f->get_descriptor(f, 1), nullptr);
    EXPECT_STREQ(d->vendor, "Velmora");

    // Without the user's folder only the factory sets are declared.
    {
        Indexer none;
        const clap_preset_discovery_provider_t* p = f->create(f, &none.ix, d->id);
        ASSERT_TRUE(p && p->init(p));
        ASSERT_EQ(none.locations.size(), 1u);
        p->destroy(p);
    }
    std::filesystem::create_directories(home.dir() + "/Documents/Velmora");
    Indexer ix;
    EXPECT_EQ(f->create(f, &ix.ix, "de.velmora.other"), nullptr);
    EXPECT_EQ(f->create(f, nullptr, d->id), nullptr);
    const clap_preset_discovery_provider_t* p = f->create(f, &ix.ix, d->id);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->desc, d);
    ASSERT_TRUE(p->init(p));
    EXPECT_EQ(ix.extensions, std::vector<std::string>{"json"});
    ASSERT_EQ(ix.locations.size(), 2u);
    EXPECT_EQ(ix.locations[0].kind, uint32_t(CLAP_PRESET_DISCOVERY_LOCATION_PLUGIN));
    EXPECT_TRUE(ix.locations[0].nullLocation);
    EXPECT_EQ(ix.locations[0].flags, uint32_t(CLAP_PRESET_DISCOVERY_IS_FACTORY_CONTENT));
    EXPECT_EQ(ix.locations[1].kind, uint32_t(CLAP_PRESET_DISCOVERY_LOCATION_FILE));
    EXPECT_EQ(ix.locations[1].location, home.dir() + "/Documents/Velmora");
    EXPECT_EQ(ix.locations[1].flags, uint32_t(CLAP_PRESET_DISCOVERY_IS_USER_CONTENT));

    ASSERT_TRUE(p->get_metadata(p, CLAP_PRESET_DISCOVERY_LOCATION_PLUGIN, nullptr, &ix.rx));
    const auto files = grooveFiles();
    ASSERT_GE(files.size(), 8u);
    ASSERT_EQ(ix.presets.size(), files.size());
    for (const auto& pr : ix.presets) {
        SCOPED_TRACE(pr.key);
        ASSERT_TRUE(files.count(pr.key));
        const Val doc = parseDoc(files.at(pr.key));
        const Val* name = find(doc, "name");
        ASSERT_NE(name, nullptr);
        EXPECT_EQ(pr.name, name->str);
        EXPECT_EQ(pr.plugins, (std::vector<std::string>{"clap:de.velmora.brisanto", std::string("clap:") + MULTI_ID}));
        EXPECT_EQ(pr.flags, uint32_t(CLAP_PRESET_DISCOVERY_IS_FACTORY_CONTENT));
    }
    p->destroy(p);
}

// The user's folder: every set file in it is a preset named after the file;
// other files are not. Asked about one file, the provider gives it with no
// key; asked about the folder, each file with its name as the key.
TEST(Presets, UserSetFilesAreListedByFileName) {
    TempHome home;
    const std::string dir = home.dir() + "/Documents/Velmora";
    std::filesystem::create_directories(dir);
    const std::string doc = grooveFiles().begin()->second;
    std::ofstream(dir + "/Mein Groove.json") << doc;
    std::ofstream(dir + "/notizen.json") << "{\"nichts\":1}";
    std::ofstream(dir + "/set.txt") << doc;
    std::filesystem::create_directories(dir + "/ordner.json");

    Host h;
    ASSERT_TRUE(h.load(BRS_CLAP_PATH));
    const clap_preset_discovery_factory_t* f = discovery(h);
    Indexer ix;
    const clap_preset_discovery_provider_t* p = f->create(f, &ix.ix, f->get_descriptor(f, 0)->id);
    ASSERT_TRUE(p && p->init(p));
    EXPECT_TRUE(p->get_metadata(p, CLAP_PRESET_DISCOVERY_LOCATION_FILE, (dir + "/Mein Groove.json").c_str(), &ix.rx));
    EXPECT_FALSE(p->get_metadata(p, CLAP_PRESET_DISCOVERY_LOCATION_FILE, (dir + "/notizen.json").c_str(), &ix.rx));
    EXPECT_FALSE(p->get_metadata(p, CLAP_PRESET_DISCOVERY_LOCATION_FILE, (dir + "/fehlt.json").c_str(), &ix.rx));
    EXPECT_FALSE(p->get_metadata(p, CLAP_PRESET_DISCOVERY_LOCATION_FILE, nullptr, &ix.rx));
    ASSERT_EQ(ix.presets.size(), 1u);
    EXPECT_EQ(ix.presets[0].name, "Mein Groove");
    EXPECT_TRUE(ix.presets[0].nullKey);
    EXPECT_EQ(ix.presets[0].flags, uint32_t(CLAP_PRESET_DISCOVERY_IS_USER_CONTENT));
    EXPECT_EQ(ix.presets[0].plugins.size(), 2u);

    ix.presets.clear();
    EXPECT_TRUE(p->get_metadata(p, CLAP_PRESET_DISCOVERY_LOCATION_FILE, dir.c_str(), &ix.rx));
    ASSERT_EQ(ix.presets.size(), 1u);
    EXPECT_EQ(ix.presets[0].key, "Mein Groove.json");
    p->destroy(p);

    // Both forms load through preset-load.
    Host a;
    ASSERT_TRUE(open(a));
    const clap_plugin_preset_load_t* pl = presetLoad(a);
    ASSERT_NE(pl, nullptr);
    EXPECT_TRUE(pl->from_location(a.plugin(), CLAP_PRESET_DISCOVERY_LOCATION_FILE, (dir + "/Mein Groove.json").c_str(),
                                  nullptr));
    EXPECT_TRUE(pl->from_location(a.plugin(), CLAP_PRESET_DISCOVERY_LOCATION_FILE, dir.c_str(), "Mein Groove.json"));
    EXPECT_FALSE(pl->from_location(a.plugin(), CLAP_PRESET_DISCOVERY_LOCATION_FILE, dir.c_str(), "../x.json"));
    EXPECT_FALSE(pl->from_location(a.plugin(), CLAP_PRESET_DISCOVERY_LOCATION_FILE, (dir + "/fehlt.json").c_str(),
                                   nullptr));
    EXPECT_EQ(plug::from(a.plugin())->status, "keine Datei " + dir + "/fehlt.json");
}

// Loading a factory set through preset-load is a set import of its file: the
// same engine set, status text, plug-in settings and host rescan.
TEST(Presets, EachFactorySetLoadsAsAnImportOfItsFile) {
    TempHome home;
    for (const auto& [key, doc] : grooveFiles()) {
        SCOPED_TRACE(key);
        home.writeSet(doc);
        Host imp;
        ASSERT_TRUE(open(imp));
        imp.setParam(1006, 0.0);
        imp.setParam(1007, 4.0);
        imp.setParam(1008, 1.0);
        ASSERT_TRUE(imp.idle());
        EXPECT_EQ(plug::from(imp.plugin())->status, "Set geladen");

        Host pre;
        ASSERT_TRUE(open(pre));
        pre.setParam(1006, 0.0);
        pre.setParam(1007, 4.0);
        pre.clearRescans();
        ASSERT_TRUE(presetLoad(pre)->from_location(pre.plugin(), CLAP_PRESET_DISCOVERY_LOCATION_PLUGIN, nullptr,
                                                   key.c_str()));
        EXPECT_EQ(plug::from(pre.plugin())->status, "Set geladen");
        EXPECT_EQ(pre.rescans(), std::vector<uint32_t>{CLAP_PARAM_RESCAN_VALUES});

        Kern k(imp);
        auto setOf = [&](Host& h) {
            brskern_t e = plug::from(h.plugin())->engine;
            std::string s(k.save_set(e, nullptr, 0), '\0');
            k.save_set(e, s.data(), s.size());
            return s;
        };
        EXPECT_EQ(setOf(pre), setOf(imp));
        for (clap_id id : {1000u, 1001u, 1002u, 1006u, 1007u, 1008u, 0u, 21u, 87u}) {
            double a = -1, b = -2;
            ASSERT_TRUE(pre.getParam(id, &a) && imp.getParam(id, &b));
            EXPECT_EQ(a, b) << id;
        }
    }
}

// A key that names no set, an unknown location kind, and a host that wants to
// hear about loads: nothing changes on failure, and the host is told.
TEST(Presets, FailedLoadsChangeNothingAndTheHostHearsOfEveryLoad) {
    struct Heard {
        int loaded = 0, errors = 0;
    } heard;
    static Heard* current;
    current = &heard;
    static const clap_host_preset_load_t HOST_PL = {
        [](const clap_host_t*, uint32_t, const char*, const char*, int32_t, const char*) { ++current->errors; },
        [](const clap_host_t*, uint32_t, const char*, const char*) { ++current->loaded; },
    };
    Host h;
    h.setExtensionProvider([](const char* id) -> const void* {
        return std::strcmp(id, CLAP_EXT_PRESET_LOAD) == 0 ? &HOST_PL : nullptr;
    });
    ASSERT_TRUE(open(h));
    const clap_plugin_preset_load_t* pl = presetLoad(h);
    ASSERT_NE(pl, nullptr);
    EXPECT_EQ(h.extension("clap.preset-load.draft/2"), pl);
    Kern k(h);
    auto set = [&] {
        brskern_t e = plug::from(h.plugin())->engine;
        std::string s(k.save_set(e, nullptr, 0), '\0');
        k.save_set(e, s.data(), s.size());
        return s;
    };
    const std::string before = set();
    h.clearRescans();
    EXPECT_FALSE(pl->from_location(h.plugin(), CLAP_PRESET_DISCOVERY_LOCATION_PLUGIN, nullptr, "gibt-es-nicht"));
    EXPECT_FALSE(pl->from_location(h.plugin(), CLAP_PRESET_DISCOVERY_LOCATION_PLUGIN, nullptr, nullptr));
    EXPECT_FALSE(pl->from_location(h.plugin(), 7, "irgendwo", "kettenlauf"));
    EXPECT_EQ(plug::from(h.plugin())->status, "Set nicht lesbar");
    EXPECT_EQ(set(), before);
    EXPECT_TRUE(h.rescans().empty());
    EXPECT_EQ(heard.errors, 3);
    EXPECT_EQ(heard.loaded, 0);
    // Keys are matched regardless of letter case, by key or by name.
    EXPECT_TRUE(pl->from_location(h.plugin(), CLAP_PRESET_DISCOVERY_LOCATION_PLUGIN, nullptr, "KETTENLAUF"));
    EXPECT_EQ(heard.loaded, 1);
    EXPECT_NE(set(), before);
}

// Every factory set, loaded into a playing instance of either plug-in, plays
// eight bars at its own tempo: every sample finite and within the ceiling, and
// a groove that is heard (not a near-silent set).
TEST(Presets, EveryFactorySetPlaysEightBarsCleanly) {
    for (const auto& [key, doc] : grooveFiles()) {
        SCOPED_TRACE(key);
        Host h;
        ASSERT_TRUE(key.size() % 2 ? open(h) : openMulti(h));
        ASSERT_TRUE(h.activate(48000.0, 1, 512));
        ASSERT_TRUE(h.startProcessing());
        ASSERT_TRUE(presetLoad(h)->from_location(h.plugin(), CLAP_PRESET_DISCOVERY_LOCATION_PLUGIN, nullptr, key.c_str()));
        const double bpm = find(parseDoc(doc), "bpm")->num;
        h.setTransport({true, true, true, bpm});
        const size_t frames = size_t(8 * 4 * 60.0 / bpm * 48000.0);
        std::vector<float> l(512), r(512);
        double sum = 0.0;
        float peak = 0.0f;
        for (size_t done = 0; done < frames; done += 512) {
            h.process(512, l.data(), r.data());
            for (int i = 0; i < 512; ++i) {
                ASSERT_TRUE(std::isfinite(l[i]) && std::isfinite(r[i])) << "frame " << done + i;
                peak = std::max({peak, std::fabs(l[i]), std::fabs(r[i])});
                sum += double(l[i]) * l[i] + double(r[i]) * r[i];
            }
        }
        const double rms = std::sqrt(sum / (2.0 * double(frames)));
        EXPECT_LE(peak, 0.7079f + 1e-6f);
        EXPECT_GT(rms, 0.05) << "peak " << peak;
        std::printf("[ groove   ] %-24s %5.0f BPM  peak %.3f  rms %.3f\n", key.c_str(), bpm, peak, rms);
    }
}

}  // namespace
}  // namespace brs::ptest
