/* The entry points of a dynamic DNS plug-in: a shared library named libddns*.so beside the
 * program, of which the first (in name order) is loaded at start. Each entry point is
 * optional; a missing one leaves the program's own behaviour. Plain C, so that a plug-in
 * can be written in any language that makes C functions. */
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

/* Every in/out text is a buffer of this many writable bytes; the plug-in leaves a
 * terminating zero in it. */
#define TVN_DDNS_TEXT_SIZE 400

/* The domains offered in the settings dialog. `context` is the program's; the plug-in only
 * hands it back. A text returned by `at` stays valid until the list changes. */
typedef struct TvnDdnsDomainList {
    void* context;
    int (*count)(void* context);
    const char* (*at)(void* context, int index); /* NULL outside 0..count-1 */
    int (*selected)(void* context);              /* -1 when none */
    void (*select)(void* context, int index);    /* -1 selects none */
    void (*clear)(void* context);
    void (*add)(void* context, const char* text);
} TvnDdnsDomainList;

/* Replaces the program's whole update. `address` holds the local address on entry and the
 * text to show as the server's address on return; `status` receives a text to show. Returns
 * 1 when the name is registered (now or before), else 0. Runs on a worker thread. */
typedef int (*TvnDdnsStartFn)(const char* user, const char* password, const char* name,
                              const char* domain, char* address, char* status);
/* Replaces the settings dialog's Register button. */
typedef void (*TvnDdnsRegisterFn)(void);
/* Adjusts the domain list and the three texts of the settings dialog; `loading` is 1 when
 * the settings are loaded, 0 when they are saved. */
typedef void (*TvnDdnsPatchOptionsFn)(TvnDdnsDomainList* domains, char* domain, char* name,
                                      char* user, int loading);

/* The symbol names the program looks up. */
#define TVN_DDNS_START "Start"
#define TVN_DDNS_REGISTER "Register"
#define TVN_DDNS_PATCH_OPTIONS "PatchOptions"

#ifdef __cplusplus
}
#endif
