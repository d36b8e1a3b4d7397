/* clap_abi.h: the CLAP 1.2 plug-in ABI as far as brisanto and its test host use it.
 *
 * Our own declarations of the public C interface: record layouts, field order
 * and constants match the published ABI; the static_asserts at the end pin the
 * record sizes on x86-64. Only what the plug-in and host/ need is declared.
 */
#ifndef BRS_CLAP_ABI_H
#define BRS_CLAP_ABI_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t clap_id;
#define CLAP_INVALID_ID UINT32_MAX
#define CLAP_NAME_SIZE 256
#define CLAP_PATH_SIZE 1024

/* ---- version ---------------------------------------------------------- */
typedef struct clap_version {
    uint32_t major;
    uint32_t minor;
    uint32_t revision;
} clap_version_t;

#define CLAP_VERSION_MAJOR 1
#define CLAP_VERSION_MINOR 2
#define CLAP_VERSION_REVISION 6
#define CLAP_VERSION_INIT {CLAP_VERSION_MAJOR, CLAP_VERSION_MINOR, CLAP_VERSION_REVISION}

static inline bool clap_version_is_compatible(clap_version_t v) { return v.major >= 1; }

/* ---- events ----------------------------------------------------------- */
typedef struct clap_event_header {
    uint32_t size;
    uint32_t time;
    uint16_t space_id;
    uint16_t type;
    uint32_t flags;
} clap_event_header_t;

#define CLAP_CORE_EVENT_SPACE_ID 0

enum {
    CLAP_EVENT_IS_LIVE = 1 << 0,
    CLAP_EVENT_DONT_RECORD = 1 << 1,
};

enum {
    CLAP_EVENT_NOTE_ON = 0,
    CLAP_EVENT_NOTE_OFF = 1,
    CLAP_EVENT_NOTE_CHOKE = 2,
    CLAP_EVENT_NOTE_END = 3,
    CLAP_EVENT_NOTE_EXPRESSION = 4,
    CLAP_EVENT_PARAM_VALUE = 5,
    CLAP_EVENT_PARAM_MOD = 6,
    CLAP_EVENT_PARAM_GESTURE_BEGIN = 7,
    CLAP_EVENT_PARAM_GESTURE_END = 8,
    CLAP_EVENT_TRANSPORT = 9,
    CLAP_EVENT_MIDI = 10,
    CLAP_EVENT_MIDI_SYSEX = 11,
    CLAP_EVENT_MIDI2 = 12,
};

typedef struct clap_event_note {
    clap_event_header_t header;
    int32_t note_id;
    int16_t port_index;
    int16_t channel;
    int16_t key;
    double velocity;
} clap_event_note_t;

typedef struct clap_event_param_value {
    clap_event_header_t header;
    clap_id param_id;
    void* cookie;
    int32_t note_id;
    int16_t port_index;
    int16_t channel;
    int16_t key;
    double value;
} clap_event_param_value_t;

typedef struct clap_event_param_gesture {
    clap_event_header_t header;
    clap_id param_id;
} clap_event_param_gesture_t;

enum {
    CLAP_TRANSPORT_HAS_TEMPO = 1 << 0,
    CLAP_TRANSPORT_HAS_BEATS_TIMELINE = 1 << 1,
    CLAP_TRANSPORT_HAS_SECONDS_TIMELINE = 1 << 2,
    CLAP_TRANSPORT_HAS_TIME_SIGNATURE = 1 << 3,
    CLAP_TRANSPORT_IS_PLAYING = 1 << 4,
    CLAP_TRANSPORT_IS_RECORDING = 1 << 5,
    CLAP_TRANSPORT_IS_LOOP_ACTIVE = 1 << 6,
    CLAP_TRANSPORT_IS_WITHIN_PRE_ROLL = 1 << 7,
};

typedef int64_t clap_beattime;
typedef int64_t clap_sectime;
#define CLAP_BEATTIME_FACTOR (1LL << 31)
#define CLAP_SECTIME_FACTOR (1LL << 31)

typedef struct clap_event_transport {
    clap_event_header_t header;
    uint32_t flags;
    clap_beattime song_pos_beats;
    clap_sectime song_pos_seconds;
    double tempo;
    double tempo_inc;
    clap_beattime loop_start_beats;
    clap_beattime loop_end_beats;
    clap_sectime loop_start_seconds;
    clap_sectime loop_end_seconds;
    clap_beattime bar_start;
    int32_t bar_number;
    uint16_t tsig_num;
    uint16_t tsig_denom;
} clap_event_transport_t;

typedef struct clap_event_midi {
    clap_event_header_t header;
    uint16_t port_index;
    uint8_t data[3];
} clap_event_midi_t;

typedef struct clap_input_events {
    void* ctx;
    uint32_t (*size)(const struct clap_input_events* list);
    const clap_event_header_t* (*get)(const struct clap_input_events* list, uint32_t index);
} clap_input_events_t;

typedef struct clap_output_events {
    void* ctx;
    bool (*try_push)(const struct clap_output_events* list, const clap_event_header_t* event);
} clap_output_events_t;

/* ---- audio buffers and process ---------------------------------------- */
typedef struct clap_audio_buffer {
    float** data32;
    double** data64;
    uint32_t channel_count;
    uint32_t latency;
    uint64_t constant_mask;
} clap_audio_buffer_t;

enum {
    CLAP_PROCESS_ERROR = 0,
    CLAP_PROCESS_CONTINUE = 1,
    CLAP_PROCESS_CONTINUE_IF_NOT_QUIET = 2,
    CLAP_PROCESS_TAIL = 3,
    CLAP_PROCESS_SLEEP = 4,
};
typedef int32_t clap_process_status;

typedef struct clap_process {
    int64_t steady_time;
    uint32_t frames_count;
    const clap_event_transport_t* transport;
    const clap_audio_buffer_t* audio_inputs;
    clap_audio_buffer_t* audio_outputs;
    uint32_t audio_inputs_count;
    uint32_t audio_outputs_count;
    const clap_input_events_t* in_events;
    const clap_output_events_t* out_events;
} clap_process_t;

/* ---- host ------------------------------------------------------------- */
typedef struct clap_host {
    clap_version_t clap_version;
    void* host_data;
    const char* name;
    const char* vendor;
    const char* url;
    const char* version;
    const void* (*get_extension)(const struct clap_host* host, const char* extension_id);
    void (*request_restart)(const struct clap_host* host);
    void (*request_process)(const struct clap_host* host);
    void (*request_callback)(const struct clap_host* host);
} clap_host_t;

/* ---- plug-in ---------------------------------------------------------- */
typedef struct clap_plugin_descriptor {
    clap_version_t clap_version;
    const char* id;
    const char* name;
    const char* vendor;
    const char* url;
    const char* manual_url;
    const char* support_url;
    const char* version;
    const char* description;
    const char* const* features;
} clap_plugin_descriptor_t;

typedef struct clap_plugin {
    const clap_plugin_descriptor_t* desc;
    void* plugin_data;
    bool (*init)(const struct clap_plugin* plugin);
    void (*destroy)(const struct clap_plugin* plugin);
    bool (*activate)(const struct clap_plugin* plugin, double sample_rate, uint32_t min_frames_count,
                     uint32_t max_frames_count);
    void (*deactivate)(const struct clap_plugin* plugin);
    bool (*start_processing)(const struct clap_plugin* plugin);
    void (*stop_processing)(const struct clap_plugin* plugin);
    void (*reset)(const struct clap_plugin* plugin);
    clap_process_status (*process)(const struct clap_plugin* plugin, const clap_process_t* process);
    const void* (*get_extension)(const struct clap_plugin* plugin, const char* id);
    void (*on_main_thread)(const struct clap_plugin* plugin);
} clap_plugin_t;

/* ---- entry and factory ------------------------------------------------ */
typedef struct clap_plugin_entry {
    clap_version_t clap_version;
    bool (*init)(const char* plugin_path);
    void (*deinit)(void);
    const void* (*get_factory)(const char* factory_id);
} clap_plugin_entry_t;

#define CLAP_PLUGIN_FACTORY_ID "clap.plugin-factory"

typedef struct clap_plugin_factory {
    uint32_t (*get_plugin_count)(const struct clap_plugin_factory* factory);
    const clap_plugin_descriptor_t* (*get_plugin_descriptor)(const struct clap_plugin_factory* factory,
                                                            uint32_t index);
    const clap_plugin_t* (*create_plugin)(const struct clap_plugin_factory* factory, const clap_host_t* host,
                                          const char* plugin_id);
} clap_plugin_factory_t;

/* ---- extension: audio ports ------------------------------------------- */
#define CLAP_EXT_AUDIO_PORTS "clap.audio-ports"
#define CLAP_PORT_STEREO "stereo"
enum { CLAP_AUDIO_PORT_IS_MAIN = 1 << 0 };

typedef struct clap_audio_port_info {
    clap_id id;
    char name[CLAP_NAME_SIZE];
    uint32_t flags;
    uint32_t channel_count;
    const char* port_type;
    clap_id in_place_pair;
} clap_audio_port_info_t;

typedef struct clap_plugin_audio_ports {
    uint32_t (*count)(const clap_plugin_t* plugin, bool is_input);
    bool (*get)(const clap_plugin_t* plugin, uint32_t index, bool is_input, clap_audio_port_info_t* info);
} clap_plugin_audio_ports_t;

/* ---- extension: note ports -------------------------------------------- */
#define CLAP_EXT_NOTE_PORTS "clap.note-ports"
enum {
    CLAP_NOTE_DIALECT_CLAP = 1 << 0,
    CLAP_NOTE_DIALECT_MIDI = 1 << 1,
    CLAP_NOTE_DIALECT_MIDI_MPE = 1 << 2,
    CLAP_NOTE_DIALECT_MIDI2 = 1 << 3,
};

typedef struct clap_note_port_info {
    clap_id id;
    uint32_t supported_dialects;
    uint32_t preferred_dialect;
    char name[CLAP_NAME_SIZE];
} clap_note_port_info_t;

typedef struct clap_plugin_note_ports {
    uint32_t (*count)(const clap_plugin_t* plugin, bool is_input);
    bool (*get)(const clap_plugin_t* plugin, uint32_t index, bool is_input, clap_note_port_info_t* info);
} clap_plugin_note_ports_t;

/* ---- extension: params ------------------------------------------------ */
#define CLAP_EXT_PARAMS "clap.params"
enum {
    CLAP_PARAM_IS_STEPPED = 1 << 0,
    CLAP_PARAM_IS_PERIODIC = 1 << 1,
    CLAP_PARAM_IS_HIDDEN = 1 << 2,
    CLAP_PARAM_IS_READONLY = 1 << 3,
    CLAP_PARAM_IS_BYPASS = 1 << 4,
    CLAP_PARAM_IS_AUTOMATABLE = 1 << 5,
};
typedef uint32_t clap_param_info_flags;

typedef struct clap_param_info {
    clap_id id;
    clap_param_info_flags flags;
    void* cookie;
    char name[CLAP_NAME_SIZE];
    char module[CLAP_PATH_SIZE];
    double min_value;
    double max_value;
    double default_value;
} clap_param_info_t;

typedef struct clap_plugin_params {
    uint32_t (*count)(const clap_plugin_t* plugin);
    bool (*get_info)(const clap_plugin_t* plugin, uint32_t param_index, clap_param_info_t* param_info);
    bool (*get_value)(const clap_plugin_t* plugin, clap_id param_id, double* out_value);
    bool (*value_to_text)(const clap_plugin_t* plugin, clap_id param_id, double value, char* out_buffer,
                          uint32_t out_buffer_capacity);
    bool (*text_to_value)(const clap_plugin_t* plugin, clap_id param_id, const char* param_value_text,
                          double* out_value);
    void (*flush)(const clap_plugin_t* plugin, const clap_input_events_t* in, const clap_output_events_t* out);
} clap_plugin_params_t;

enum {
    CLAP_PARAM_RESCAN_VALUES = 1 << 0,
    CLAP_PARAM_RESCAN_TEXT = 1 << 1,
    CLAP_PARAM_RESCAN_INFO = 1 << 2,
    CLAP_PARAM_RESCAN_ALL = 1 << 3,
};
typedef uint32_t clap_param_rescan_flags;
typedef uint32_t clap_param_clear_flags;

typedef struct clap_host_params {
    void (*rescan)(const clap_host_t* host, clap_param_rescan_flags flags);
    void (*clear)(const clap_host_t* host, clap_id param_id, clap_param_clear_flags flags);
    void (*request_flush)(const clap_host_t* host);
} clap_host_params_t;

/* ---- extension: state ------------------------------------------------- */
#define CLAP_EXT_STATE "clap.state"

typedef struct clap_istream {
    void* ctx;
    int64_t (*read)(const struct clap_istream* stream, void* buffer, uint64_t size);
} clap_istream_t;

typedef struct clap_ostream {
    void* ctx;
    int64_t (*write)(const struct clap_ostream* stream, const void* buffer, uint64_t size);
} clap_ostream_t;

typedef struct clap_plugin_state {
    bool (*save)(const clap_plugin_t* plugin, const clap_ostream_t* stream);
    bool (*load)(const clap_plugin_t* plugin, const clap_istream_t* stream);
} clap_plugin_state_t;

typedef struct clap_host_state {
    void (*mark_dirty)(const clap_host_t* host);
} clap_host_state_t;

/* ---- extension: gui --------------------------------------------------- */
#define CLAP_EXT_GUI "clap.gui"
#define CLAP_WINDOW_API_X11 "x11"

typedef unsigned long clap_xwnd;

typedef struct clap_window {
    const char* api;
    union {
        void* cocoa;
        clap_xwnd x11;
        void* win32;
        void* ptr;
    };
} clap_window_t;

typedef struct clap_gui_resize_hints {
    bool can_resize_horizontally;
    bool can_resize_vertically;
    bool preserve_aspect_ratio;
    uint32_t aspect_ratio_width;
    uint32_t aspect_ratio_height;
} clap_gui_resize_hints_t;

typedef struct clap_plugin_gui {
    bool (*is_api_supported)(const clap_plugin_t* plugin, const char* api, bool is_floating);
    bool (*get_preferred_api)(const clap_plugin_t* plugin, const char** api, bool* is_floating);
    bool (*create)(const clap_plugin_t* plugin, const char* api, bool is_floating);
    void (*destroy)(const clap_plugin_t* plugin);
    bool (*set_scale)(const clap_plugin_t* plugin, double scale);
    bool (*get_size)(const clap_plugin_t* plugin, uint32_t* width, uint32_t* height);
    bool (*can_resize)(const clap_plugin_t* plugin);
    bool (*get_resize_hints)(const clap_plugin_t* plugin, clap_gui_resize_hints_t* hints);
    bool (*adjust_size)(const clap_plugin_t* plugin, uint32_t* width, uint32_t* height);
    bool (*set_size)(const clap_plugin_t* plugin, uint32_t width, uint32_t height);
    bool (*set_parent)(const clap_plugin_t* plugin, const clap_window_t* window);
    bool (*set_transient)(const clap_plugin_t* plugin, const clap_window_t* window);
    void (*suggest_title)(const clap_plugin_t* plugin, const char* title);
    bool (*show)(const clap_plugin_t* plugin);
    bool (*hide)(const clap_plugin_t* plugin);
} clap_plugin_gui_t;

typedef struct clap_host_gui {
    void (*resize_hints_changed)(const clap_host_t* host);
    bool (*request_resize)(const clap_host_t* host, uint32_t width, uint32_t height);
    bool (*request_show)(const clap_host_t* host);
    bool (*request_hide)(const clap_host_t* host);
    void (*closed)(const clap_host_t* host, bool was_destroyed);
} clap_host_gui_t;

/* ---- extension: timer support ----------------------------------------- */
#define CLAP_EXT_TIMER_SUPPORT "clap.timer-support"

typedef struct clap_plugin_timer_support {
    void (*on_timer)(const clap_plugin_t* plugin, clap_id timer_id);
} clap_plugin_timer_support_t;

typedef struct clap_host_timer_support {
    bool (*register_timer)(const clap_host_t* host, uint32_t period_ms, clap_id* timer_id);
    bool (*unregister_timer)(const clap_host_t* host, clap_id timer_id);
} clap_host_timer_support_t;

/* ---- the VST3 adapter's plug-in extension ---------------------------------
 * Asked for by the VST3 adapter only (the VST3 build answers it): the MIDI
 * channels of a note port's event bus and the note expressions taken. */
#define CLAP_PLUGIN_AS_VST3 "clap.plugin-info-as-vst3/0"

typedef struct clap_plugin_as_vst3 {
    uint32_t (*getNumMIDIChannels)(const clap_plugin_t* plugin, uint32_t note_port); /* 1..16 */
    uint32_t (*supportedNoteExpressions)(const clap_plugin_t* plugin);               /* bit set */
} clap_plugin_as_vst3_t;
/* ---- host extension: transport control -------------------------------- */
/* Lets the plug-in ask the host to start, stop or move its transport; the
   host may ignore any request. Every call is [main-thread]. */
#define CLAP_EXT_TRANSPORT_CONTROL "clap.transport-control/1"

typedef struct clap_host_transport_control {
    void (*request_start)(const clap_host_t* host);     /* back to the start point, then play */
    void (*request_stop)(const clap_host_t* host);      /* stop, back to the start point */
    void (*request_continue)(const clap_host_t* host);  /* play from the current position */
    void (*request_pause)(const clap_host_t* host);     /* stop at the current position */
    void (*request_toggle_play)(const clap_host_t* host);
    void (*request_jump)(const clap_host_t* host, clap_beattime position);
    void (*request_loop_region)(const clap_host_t* host, clap_beattime start, clap_beattime duration);
    void (*request_toggle_loop)(const clap_host_t* host);
    void (*request_enable_loop)(const clap_host_t* host, bool is_enabled);
    void (*request_record)(const clap_host_t* host, bool is_recording);
    void (*request_toggle_record)(const clap_host_t* host);
} clap_host_transport_control_t;
/* ---- extension: note names -------------------------------------------- */
#define CLAP_EXT_NOTE_NAME "clap.note-name"

typedef struct clap_note_name {
    char name[CLAP_NAME_SIZE];
    int16_t port;     /* -1: every port */
    int16_t key;      /* -1: every key */
    int16_t channel;  /* -1: every channel */
} clap_note_name_t;

typedef struct clap_plugin_note_name {
    uint32_t (*count)(const clap_plugin_t* plugin);
    bool (*get)(const clap_plugin_t* plugin, uint32_t index, clap_note_name_t* note_name);
} clap_plugin_note_name_t;

typedef struct clap_host_note_name {
    void (*changed)(const clap_host_t* host);
} clap_host_note_name_t;

/* ---- extension: tail --------------------------------------------------- */
#define CLAP_EXT_TAIL "clap.tail"

typedef struct clap_plugin_tail {
    uint32_t (*get)(const clap_plugin_t* plugin);
} clap_plugin_tail_t;

typedef struct clap_host_tail {
    void (*changed)(const clap_host_t* host);
} clap_host_tail_t;

/* ---- extension: render mode -------------------------------------------- */
#define CLAP_EXT_RENDER "clap.render"

enum {
    CLAP_RENDER_REALTIME = 0,
    CLAP_RENDER_OFFLINE = 1,
};
typedef int32_t clap_plugin_render_mode;

typedef struct clap_plugin_render {
    bool (*has_hard_realtime_requirement)(const clap_plugin_t* plugin);
    bool (*set)(const clap_plugin_t* plugin, clap_plugin_render_mode mode);
} clap_plugin_render_t;

/* ---- extension: remote controls ---------------------------------------- */
#define CLAP_EXT_REMOTE_CONTROLS "clap.remote-controls/2"
#define CLAP_EXT_REMOTE_CONTROLS_COMPAT "clap.remote-controls.draft/2"
#define CLAP_REMOTE_CONTROLS_COUNT 8

typedef struct clap_remote_controls_page {
    char section_name[CLAP_NAME_SIZE];
    clap_id page_id;
    char page_name[CLAP_NAME_SIZE];
    clap_id param_ids[CLAP_REMOTE_CONTROLS_COUNT];
    bool is_for_preset;
} clap_remote_controls_page_t;

typedef struct clap_plugin_remote_controls {
    uint32_t (*count)(const clap_plugin_t* plugin);
    bool (*get)(const clap_plugin_t* plugin, uint32_t page_index, clap_remote_controls_page_t* page);
} clap_plugin_remote_controls_t;

typedef struct clap_host_remote_controls {
    void (*changed)(const clap_host_t* host);
    void (*suggest_page)(const clap_host_t* host, clap_id page_id);
} clap_host_remote_controls_t;
/* ---- factory: preset discovery ---------------------------------------- */
#define CLAP_PRESET_DISCOVERY_FACTORY_ID "clap.preset-discovery-factory/2"
#define CLAP_PRESET_DISCOVERY_FACTORY_ID_COMPAT "clap.preset-discovery-factory/draft-2"

typedef uint64_t clap_timestamp;
#define CLAP_TIMESTAMP_UNKNOWN ((clap_timestamp)0)

typedef struct clap_universal_plugin_id {
    const char* abi;
    const char* id;
} clap_universal_plugin_id_t;

enum clap_preset_discovery_location_kind {
    CLAP_PRESET_DISCOVERY_LOCATION_FILE = 0,
    CLAP_PRESET_DISCOVERY_LOCATION_PLUGIN = 1,
};

enum clap_preset_discovery_flags {
    CLAP_PRESET_DISCOVERY_IS_FACTORY_CONTENT = 1 << 0,
    CLAP_PRESET_DISCOVERY_IS_USER_CONTENT = 1 << 1,
    CLAP_PRESET_DISCOVERY_IS_DEMO_CONTENT = 1 << 2,
    CLAP_PRESET_DISCOVERY_IS_FAVORITE = 1 << 3,
};

typedef struct clap_preset_discovery_metadata_receiver {
    void* receiver_data;
    void (*on_error)(const struct clap_preset_discovery_metadata_receiver* receiver, int32_t os_error,
                     const char* error_message);
    bool (*begin_preset)(const struct clap_preset_discovery_metadata_receiver* receiver, const char* name,
                         const char* load_key);
    void (*add_plugin_id)(const struct clap_preset_discovery_metadata_receiver* receiver,
                          const clap_universal_plugin_id_t* plugin_id);
    void (*set_soundpack_id)(const struct clap_preset_discovery_metadata_receiver* receiver,
                             const char* soundpack_id);
    void (*set_flags)(const struct clap_preset_discovery_metadata_receiver* receiver, uint32_t flags);
    void (*add_creator)(const struct clap_preset_discovery_metadata_receiver* receiver, const char* creator);
    void (*set_description)(const struct clap_preset_discovery_metadata_receiver* receiver,
                            const char* description);
    void (*set_timestamps)(const struct clap_preset_discovery_metadata_receiver* receiver,
                           clap_timestamp creation_time, clap_timestamp modification_time);
    void (*add_feature)(const struct clap_preset_discovery_metadata_receiver* receiver, const char* feature);
    void (*add_extra_info)(const struct clap_preset_discovery_metadata_receiver* receiver, const char* key,
                           const char* value);
} clap_preset_discovery_metadata_receiver_t;

typedef struct clap_preset_discovery_filetype {
    const char* name;
    const char* description;
    const char* file_extension;
} clap_preset_discovery_filetype_t;

typedef struct clap_preset_discovery_location {
    uint32_t flags;
    const char* name;
    uint32_t kind;
    const char* location; /* null for the plug-in kind */
} clap_preset_discovery_location_t;

typedef struct clap_preset_discovery_soundpack {
    uint32_t flags;
    const char* id;
    const char* name;
    const char* description;
    const char* homepage_url;
    const char* vendor;
    const char* image_path;
    clap_timestamp release_timestamp;
} clap_preset_discovery_soundpack_t;

typedef struct clap_preset_discovery_provider_descriptor {
    clap_version_t clap_version;
    const char* id;
    const char* name;
    const char* vendor;
} clap_preset_discovery_provider_descriptor_t;

typedef struct clap_preset_discovery_provider {
    const clap_preset_discovery_provider_descriptor_t* desc;
    void* provider_data;
    bool (*init)(const struct clap_preset_discovery_provider* provider);
    void (*destroy)(const struct clap_preset_discovery_provider* provider);
    bool (*get_metadata)(const struct clap_preset_discovery_provider* provider, uint32_t location_kind,
                         const char* location, const clap_preset_discovery_metadata_receiver_t* metadata_receiver);
    const void* (*get_extension)(const struct clap_preset_discovery_provider* provider, const char* extension_id);
} clap_preset_discovery_provider_t;

typedef struct clap_preset_discovery_indexer {
    clap_version_t clap_version;
    const char* name;
    const char* vendor;
    const char* url;
    const char* version;
    void* indexer_data;
    bool (*declare_filetype)(const struct clap_preset_discovery_indexer* indexer,
                             const clap_preset_discovery_filetype_t* filetype);
    bool (*declare_location)(const struct clap_preset_discovery_indexer* indexer,
                             const clap_preset_discovery_location_t* location);
    bool (*declare_soundpack)(const struct clap_preset_discovery_indexer* indexer,
                              const clap_preset_discovery_soundpack_t* soundpack);
    const void* (*get_extension)(const struct clap_preset_discovery_indexer* indexer, const char* extension_id);
} clap_preset_discovery_indexer_t;

typedef struct clap_preset_discovery_factory {
    uint32_t (*count)(const struct clap_preset_discovery_factory* factory);
    const clap_preset_discovery_provider_descriptor_t* (*get_descriptor)(
        const struct clap_preset_discovery_factory* factory, uint32_t index);
    const clap_preset_discovery_provider_t* (*create)(const struct clap_preset_discovery_factory* factory,
                                                      const clap_preset_discovery_indexer_t* indexer,
                                                      const char* provider_id);
} clap_preset_discovery_factory_t;

/* ---- extension: preset load ------------------------------------------- */
#define CLAP_EXT_PRESET_LOAD "clap.preset-load/2"
#define CLAP_EXT_PRESET_LOAD_COMPAT "clap.preset-load.draft/2"

typedef struct clap_plugin_preset_load {
    bool (*from_location)(const clap_plugin_t* plugin, uint32_t location_kind, const char* location,
                          const char* load_key);
} clap_plugin_preset_load_t;

typedef struct clap_host_preset_load {
    void (*on_error)(const clap_host_t* host, uint32_t location_kind, const char* location, const char* load_key,
                     int32_t os_error, const char* msg);
    void (*loaded)(const clap_host_t* host, uint32_t location_kind, const char* location, const char* load_key);
} clap_host_preset_load_t;

#ifdef __cplusplus
}
#endif

/* Record sizes of the x86-64 ABI. */
#if defined(__x86_64__)
#ifdef __cplusplus
#define BRS_CLAP_SIZE_CHECK(T, n) static_assert(sizeof(T) == (n), #T " layout")
#else
#define BRS_CLAP_SIZE_CHECK(T, n) _Static_assert(sizeof(T) == (n), #T " layout")
#endif
BRS_CLAP_SIZE_CHECK(clap_version_t, 12);
BRS_CLAP_SIZE_CHECK(clap_event_header_t, 16);
BRS_CLAP_SIZE_CHECK(clap_event_note_t, 40);
BRS_CLAP_SIZE_CHECK(clap_event_param_value_t, 56);
BRS_CLAP_SIZE_CHECK(clap_event_param_gesture_t, 20);
BRS_CLAP_SIZE_CHECK(clap_event_transport_t, 104);
BRS_CLAP_SIZE_CHECK(clap_event_midi_t, 24);
BRS_CLAP_SIZE_CHECK(clap_input_events_t, 24);
BRS_CLAP_SIZE_CHECK(clap_output_events_t, 16);
BRS_CLAP_SIZE_CHECK(clap_audio_buffer_t, 32);
BRS_CLAP_SIZE_CHECK(clap_process_t, 64);
BRS_CLAP_SIZE_CHECK(clap_host_t, 88);
BRS_CLAP_SIZE_CHECK(clap_plugin_descriptor_t, 88);
BRS_CLAP_SIZE_CHECK(clap_plugin_t, 96);
BRS_CLAP_SIZE_CHECK(clap_plugin_entry_t, 40);
BRS_CLAP_SIZE_CHECK(clap_plugin_factory_t, 24);
BRS_CLAP_SIZE_CHECK(clap_audio_port_info_t, 288);
BRS_CLAP_SIZE_CHECK(clap_note_port_info_t, 268);
BRS_CLAP_SIZE_CHECK(clap_param_info_t, 1320);
BRS_CLAP_SIZE_CHECK(clap_plugin_params_t, 48);
BRS_CLAP_SIZE_CHECK(clap_host_params_t, 24);
BRS_CLAP_SIZE_CHECK(clap_istream_t, 16);
BRS_CLAP_SIZE_CHECK(clap_ostream_t, 16);
BRS_CLAP_SIZE_CHECK(clap_host_state_t, 8);
BRS_CLAP_SIZE_CHECK(clap_window_t, 16);
BRS_CLAP_SIZE_CHECK(clap_gui_resize_hints_t, 12);
BRS_CLAP_SIZE_CHECK(clap_plugin_gui_t, 120);
BRS_CLAP_SIZE_CHECK(clap_host_gui_t, 40);
BRS_CLAP_SIZE_CHECK(clap_host_timer_support_t, 16);
BRS_CLAP_SIZE_CHECK(clap_plugin_as_vst3_t, 16);
BRS_CLAP_SIZE_CHECK(clap_host_transport_control_t, 88);
BRS_CLAP_SIZE_CHECK(clap_note_name_t, 262);
BRS_CLAP_SIZE_CHECK(clap_plugin_note_name_t, 16);
BRS_CLAP_SIZE_CHECK(clap_host_note_name_t, 8);
BRS_CLAP_SIZE_CHECK(clap_plugin_tail_t, 8);
BRS_CLAP_SIZE_CHECK(clap_host_tail_t, 8);
BRS_CLAP_SIZE_CHECK(clap_plugin_render_t, 16);
BRS_CLAP_SIZE_CHECK(clap_remote_controls_page_t, 552);
BRS_CLAP_SIZE_CHECK(clap_plugin_remote_controls_t, 16);
BRS_CLAP_SIZE_CHECK(clap_host_remote_controls_t, 16);
BRS_CLAP_SIZE_CHECK(clap_universal_plugin_id_t, 16);
BRS_CLAP_SIZE_CHECK(clap_preset_discovery_metadata_receiver_t, 88);
BRS_CLAP_SIZE_CHECK(clap_preset_discovery_filetype_t, 24);
BRS_CLAP_SIZE_CHECK(clap_preset_discovery_location_t, 32);
BRS_CLAP_SIZE_CHECK(clap_preset_discovery_soundpack_t, 64);
BRS_CLAP_SIZE_CHECK(clap_preset_discovery_provider_descriptor_t, 40);
BRS_CLAP_SIZE_CHECK(clap_preset_discovery_provider_t, 48);
BRS_CLAP_SIZE_CHECK(clap_preset_discovery_indexer_t, 88);
BRS_CLAP_SIZE_CHECK(clap_preset_discovery_factory_t, 24);
BRS_CLAP_SIZE_CHECK(clap_plugin_preset_load_t, 8);
BRS_CLAP_SIZE_CHECK(clap_host_preset_load_t, 16);
#undef BRS_CLAP_SIZE_CHECK
#endif

#endif /* BRS_CLAP_ABI_H */
