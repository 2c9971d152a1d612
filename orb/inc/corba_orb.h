// The process's ORB: initialisation from the command line, its settings, the
// table of initial references, string forms of references, run, shutdown
// and destroy.
#pragma once

#include "corba_env.h"
#include "corba_except.h"
#include "corba_string.h"
#include "wq_lock.h"

#include <atomic>
#include <cstdint>

struct wq_QoSListNode;

namespace CORBA {

class Object;
class PolicyManager;

class ORB {
public:
    enum DiagnosticsLevel : int32_t { none = 0, simple = 1, full = 2 };

    class InvalidName : public wq_UserExceptionT<InvalidName> {
    public:
        InvalidName() = default;
        InvalidName(const InvalidName &) = default;
        static InvalidName *_downcast(Exception *e)
        {
            return e ? static_cast<InvalidName *>(e->wq_find_ptr(wq_IR_Name)) : nullptr;
        }
        static char const *wq_IR_Name;
    };

    // A sequence of strings (owned copies).
    struct ObjectIdList {
        ObjectIdList() = default;
        ObjectIdList(const ObjectIdList &) = delete;
        ObjectIdList &operator=(const ObjectIdList &) = delete;
        ~ObjectIdList();
        char const *operator[](uint32_t i) const { return i < length ? buffer[i] : nullptr; }
        char **buffer = nullptr;
        uint32_t maximum = 0;
        uint32_t length = 0;
        bool release = true;
    };

    // ---- process-wide settings ----------------------------------------------
    // 0 not initialised, 1 initialised, 2 shut down.
    static std::atomic<int32_t> _orb_state;
    static uint32_t _min_recursion;
    static uint32_t _min_band_recursion;
    static uint32_t _stack_size;
    static int32_t _acceptor_priority;
    static int32_t _default_priority;
    static uint64_t _retry_delay; // units of 100 ns
    static int32_t _conn_retries;
    static bool _fast_rebind;
    static bool _connection_ordered_oneways;
    static int16_t _oneway_sync_scope;
    static bool _create_nonband_circuit;
    static bool _always_propagate_priority;
    static int16_t _priority_low;
    static int16_t _priority_high;
    static bool _reuse_memory;
    static uint32_t _block_sizes[2];
    static bool _transparent_reconnect;
    static bool _single_threaded;
    static bool _process_pending_requests;
    // Largest GIOP message (12-byte header included) a circuit accepts from
    // the wire; a bigger announced size fails the circuit with IMP_LIMIT.
    static uint64_t _max_message_size;
    // Most bytes a server holds for large requests (64 KiB and more) read
    // and not yet served: the body of a further one is read only once it
    // fits (its connection waits unread meanwhile); one that the bound
    // alone cannot hold is refused as one past _max_message_size is.
    static uint64_t _max_pending_request_bytes;

    // ---- accessors -----------------------------------------------------------
    static char const *endpoint_list();
    static char const *svr_class_name();
    static char const *svr_instance_name();
    static char const *host_name();
    static char const *process_name();
    // Free the old name and store a copy (null stores "").
    static void svr_class_name(char const *name);
    static void svr_instance_name(char const *name);
    static void diagnostics(DiagnosticsLevel level);
    static DiagnosticsLevel diagnostics();
    // Only while the ORB is not initialised.
    static void fast_rebind(bool on);
    static void create_environment() {}

    // ---- reference counting ---------------------------------------------------
    void _add_ref();
    // True when the object was deleted or the call refused.
    bool _remove_ref();
    static ORB *_duplicate(ORB *orb);
    static void _release(ORB *orb);
    int32_t wq_ref_count();

    // ---- initial references --------------------------------------------------
    Object *resolve_initial_references(char const *name,
                                       const EnvironmentWrapper &env = EnvironmentWrapper());
    void register_initial_reference(char const *name, Object *obj,
                                    const EnvironmentWrapper &env = EnvironmentWrapper());
    void unregister_initial_reference(char const *name,
                                      const EnvironmentWrapper &env = EnvironmentWrapper());
    // Copies of the names of all named rows, in row order (delete the list).
    ObjectIdList *list_initial_services(const EnvironmentWrapper &env = EnvironmentWrapper());

    // ---- string forms ------------------------------------------------------------
    char *object_to_string(Object *obj, const EnvironmentWrapper &env = EnvironmentWrapper());
    Object *string_to_object(char const *text, const EnvironmentWrapper &env = EnvironmentWrapper());

    // ---- threads and shutdown ------------------------------------------------
    static void min_recursion(uint32_t n);
    static void min_band_recursion(uint32_t n);
    static uint32_t cur_recursion();
    // True when the endpoint is one item of the published list.
    static bool endpoint_registered(char const *endpoint);
    void run(bool wait = true, const EnvironmentWrapper &env = EnvironmentWrapper());
    bool shutdown(bool wait, const EnvironmentWrapper &env = EnvironmentWrapper());
    void destroy(const EnvironmentWrapper &env = EnvironmentWrapper());
    static void wait_for_shutdown();
    static void start_shutdown();

    // 0 created; -1 not initialised; -2 invalid; -3 no acceptor factory;
    // -4 the acceptor cannot be created.
    static int32_t wq_add_endpoint(char const *endpoint, bool publish);

    // ---- default QoS lists per scheme -------------------------------------------
    // One node per scheme, "tcp:" then "tcpv6:" from process start until
    // destroy deletes them; _default_qos_list_tcpv6 is the "tcpv6:" node (null
    // while the lists are deleted).
    static wq_QoSListNode *_default_qos_list;
    static wq_QoSListNode *_default_qos_list_tcpv6;
    // The list text for an endpoint's scheme (null when none).
    static char const *default_qos_list(char const *endpoint);
    // Replaces the text of the scheme's node (null stores null); no node: a
    // new one made from `list` goes to the head.
    static void default_qos_list(char const *scheme, char const *list);

protected:
    ORB() = default;
    virtual ~ORB();
    ORB(const ORB &) = delete;
    ORB &operator=(const ORB &) = delete;

private:
    wq_Mutex ref_mtx_;
    wq_CountingSemaphore run_sem_{0};
    int32_t ref_count_ = 1;
};

typedef ORB *ORB_ptr;

ORB *ORB_init(int &argc, char **argv, char const *orb_id = nullptr,
              const EnvironmentWrapper &env = EnvironmentWrapper());

// Drops one reference (null: nothing).
void release(const ORB *orb);
inline bool is_nil(const ORB *orb) { return orb == nullptr; }

} // namespace CORBA

class wq_NetAcceptor;

// A node of CORBA::ORB's default QoS lists: the scheme key (text before the
// list's first ':' followed by ':') and the list text (heap strings).
struct wq_QoSListNode {
    wq_QoSListNode *next;
    char const *key;
    char const *list;
};

// One acceptor made by an endpoint option, newest first.
struct wq_AcceptorNode {
    wq_AcceptorNode *next;
    wq_NetAcceptor *acceptor;
};

// The ORB object itself, with the process's naming and endpoint state.
class wq_ORB : public CORBA::ORB {
public:
    wq_ORB() = default;
    ~wq_ORB() override;

    // Names of this server (heap strings owned by the ORB once it sets them).
    static char const *process_name;
    static char const *svr_class_name;
    static char const *svr_instance_name;
    static char const *host_name;
    // Diagnostics level: 0 none, 1 simple, 2 full.
    static int diagnostics;
    // Endpoints joined by ", "; null while empty.
    static char *_list_of_published_endpoints;
    static char *_list_of_unpublished_endpoints;
    static wq_AcceptorNode *_net_acceptor_list;
};

// The ORB object while one exists (one reference held by the process).
extern wq_ORB *wq_orb;
extern wq_RWMutex _wq_orb_init_mtx;
extern wq_RWMutex _wq_orb_joiner;

// Hooks other components may install: called with (argc, argv, ORB id, env).
typedef void (*wq_OrbInitializer)(int &, char **, char const *, const CORBA::EnvironmentWrapper &);
extern wq_OrbInitializer wq_orb_initializer_pre;
extern wq_OrbInitializer wq_orb_initializer_post;
extern void (*wq_orb_destroy)(const CORBA::EnvironmentWrapper &);
extern CORBA::Object *(*wq_corbaloc_build_object)(char const *, const CORBA::EnvironmentWrapper &);

void wq_CORBA_ORB_remove_arg(int index, int &argc, char **argv);
[[noreturn]] void wq_CORBA_ORB_exit(int status);
void wq_raise_obj_adapter(unsigned char minor, const CORBA::EnvironmentWrapper &env);
void wq_raise_initialize(unsigned char minor, const CORBA::EnvironmentWrapper &env);
void wq_raise_invalidname(const CORBA::EnvironmentWrapper &env);
void wq_CORBA_ORB_log_server_available(char const *endpoints);
// -ORBInitRef: ObjectID '=' ObjectURL.
void wq_CORBA_ORB_process_initial_reference(char const *text, const CORBA::EnvironmentWrapper &env);
char const *wq_getenv(char const *name);

// The process's policy manager, made by the first resolve of
// "ORBPolicyManager".
extern CORBA::PolicyManager *wq_orb_policy_mgr;

// ---- the table of initial references --------------------------------------
typedef CORBA::Object *(*wq_SvcCreator)(const CORBA::EnvironmentWrapper &);

class wq_SvcInfo {
public:
    static constexpr int ROWS = 16;
    char *names[ROWS] = {};
    wq_SvcCreator creators[ROWS] = {};
    CORBA::Object *objects[ROWS] = {};

    // Row of `name` (matched exactly, up to '=' or its end) or -16; `free_row`
    // is the first empty row or -16.
    int lookup(char const *name, int &length, int &free_row);
    void svc_init();
    // Frees every name and releases every object (under `protect`); the
    // table is filled again on its next use.
    void svc_cleanup();
    // At exit no other thread is left: no lock.
    ~wq_SvcInfo() { clear_rows(); }

    static bool needs_init;
    static wq_RWMutex protect;

private:
    void clear_rows();
};
extern wq_SvcInfo wq_svc_table;

// Creators of the table.
CORBA::Object *wq_init_root_poa(const CORBA::EnvironmentWrapper &env);
CORBA::Object *wq_create_pm(const CORBA::EnvironmentWrapper &env);
CORBA::Object *wq_def_nam_svc(const CORBA::EnvironmentWrapper &env);
CORBA::Object *wq_def_evt_svc(const CORBA::EnvironmentWrapper &env);

// The RT current and RT ORB (wq_rt_current, wq_rt_orb, wq_rt_ctor_lock) are
// declared with RT-CORBA in rtcorba.h.
