/* A QEMU TCG plugin that counts the guest instructions a program executes,
 * for bench/aarch64_instructions.sh: loaded into qemu-user with
 *
 *   qemu-aarch64 -plugin file=qemu_insn_count.so -d plugin -D LOG program ...
 *
 * it writes one line to LOG when the guest exits:
 *
 *   guest instructions: <count>
 *
 * Counting: when a translation block is translated, an inline add of its
 * instruction count is attached to it, which QEMU's generated code performs
 * each time the block starts. A block runs to its end unless an instruction
 * in it faults or a signal arrives, so for a deterministic single-threaded
 * guest the count is exact and the same on every run. The counter is one
 * plain 64-bit word: guests that run several threads get a count that is
 * neither exact nor repeatable (the adds race), so measure on one thread.
 *
 * QEMU ships no development header for plugins in Debian, so the few
 * declarations of its plugin C API used here are written out below, as QEMU
 * 7.2 declares them (API version 1; include/qemu/qemu-plugin.h). Built by
 * the host's C compiler as a shared object: it runs inside the x86-64 qemu
 * process, whatever the guest. */
#include <inttypes.h>
#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#define QEMU_PLUGIN_EXPORT __attribute__((visibility("default")))

/* --- QEMU's plugin API (version 1), the part this plugin uses --- */

typedef uint64_t qemu_plugin_id_t;

/* What QEMU passes to qemu_plugin_install. */
typedef struct qemu_info_t {
    const char* target_name;
    struct {
        int min;
        int cur;
    } version;
    bool system_emulation;
    union {
        struct {
            int smp_vcpus;
            int max_vcpus;
        } system;
    };
} qemu_info_t;

struct qemu_plugin_tb; /* opaque: a translation block being translated */

enum qemu_plugin_op {
    QEMU_PLUGIN_INLINE_ADD_U64, /* *(uint64_t *)ptr += imm */
};

typedef void (*qemu_plugin_udata_cb_t)(qemu_plugin_id_t id, void* userdata);
typedef void (*qemu_plugin_vcpu_tb_trans_cb_t)(qemu_plugin_id_t id, struct qemu_plugin_tb* tb);

void qemu_plugin_register_vcpu_tb_trans_cb(qemu_plugin_id_t id, qemu_plugin_vcpu_tb_trans_cb_t cb);
size_t qemu_plugin_tb_n_insns(const struct qemu_plugin_tb* tb);
void qemu_plugin_register_vcpu_tb_exec_inline(struct qemu_plugin_tb* tb, enum qemu_plugin_op op, void* ptr,
                                              uint64_t imm);
void qemu_plugin_register_atexit_cb(qemu_plugin_id_t id, qemu_plugin_udata_cb_t cb, void* userdata);
void qemu_plugin_outs(const char* string);

/* --- The plugin --- */

/* The API version this plugin is written against; QEMU refuses to load a
 * plugin outside the range it supports. */
QEMU_PLUGIN_EXPORT int qemu_plugin_version = 1;

/* Guest instructions executed so far (all vCPUs, see above). */
static uint64_t executed;

static void on_translate(qemu_plugin_id_t id, struct qemu_plugin_tb* tb) {
    (void)id;
    qemu_plugin_register_vcpu_tb_exec_inline(tb, QEMU_PLUGIN_INLINE_ADD_U64, &executed,
                                             (uint64_t)qemu_plugin_tb_n_insns(tb));
}

static void on_guest_exit(qemu_plugin_id_t id, void* userdata) {
    (void)id;
    (void)userdata;
    char line[64];
    snprintf(line, sizeof line, "guest instructions: %" PRIu64 "\n", executed);
    qemu_plugin_outs(line);
}

QEMU_PLUGIN_EXPORT int qemu_plugin_install(qemu_plugin_id_t id, const qemu_info_t* info, int argc, char** argv) {
    (void)argv;
    if (argc != 0) {
        fprintf(stderr, "qemu_insn_count: takes no arguments\n");
        return 1;
    }
    if (info->version.min > qemu_plugin_version || info->version.cur < qemu_plugin_version) {
        fprintf(stderr, "qemu_insn_count: QEMU's plugin API is %d..%d, this plugin needs %d\n", info->version.min,
                info->version.cur, qemu_plugin_version);
        return 1;
    }
    qemu_plugin_register_vcpu_tb_trans_cb(id, on_translate);
    qemu_plugin_register_atexit_cb(id, on_guest_exit, NULL);
    return 0;
}
