#include "fake_manager.h"

#include <stdarg.h>
#include <stdio.h>

#include <mutex>

#include "veltra_manager_app.h"

namespace vt {
namespace {

FakeManager *g_fake = nullptr;

uint32_t fake_register(uint32_t package, const char *name, veltra_client_shutdown_fn cb,
                       void **out) {
    g_fake->register_calls++;
    if (g_fake->register_result) return g_fake->register_result;
    g_fake->registered_package = package;
    g_fake->registered_name = name ? name : "(null)";
    g_fake->shutdown_callback = cb;
    *out = g_fake;
    return 0;
}

uint32_t fake_client_release(void *) {
    g_fake->release_calls++;
    return g_fake->release_result;
}

const char *name_of(const void *table) {
    if (table == &g_fake->errorinfo) return "_veltra_errorinfo_interface";
    if (table == &g_fake->handles) return "_veltra_handlemanager_interface";
    if (table == &g_fake->users) return "_veltra_userinfo_interface";
    if (table == &g_fake->serialization) return "_veltra_serialization_interface";
    if (table == &g_fake->lists) return "_veltra_listmanager_interface";
    return "?";
}

uint32_t fake_interface_release(const void *table) {
    g_fake->interfaces_released.push_back(name_of(table));
    return 0;
}

uint32_t fake_interface_get(const char *name, uint32_t reserved, uint32_t ordinal,
                            const void **out) {
    std::string n = name ? name : "";
    if (n == g_fake->failing_interface) return g_fake->interface_result;
    if (g_fake->fallback && n.rfind("_veltra_vibemesh_", 0) == 0)
        return g_fake->fallback->interface_get(name, reserved, ordinal, out);
    const void *table = nullptr;
    if (n == "_veltra_errorinfo_interface") table = &g_fake->errorinfo;
    if (n == "_veltra_handlemanager_interface") table = &g_fake->handles;
    if (n == "_veltra_userinfo_interface") table = &g_fake->users;
    if (n == "_veltra_serialization_interface") table = &g_fake->serialization;
    if (n == "_veltra_listmanager_interface") table = &g_fake->lists;
    if (!table || ordinal != 0) return 0x90310003u;
    g_fake->interfaces_got.push_back(n);
    *out = table;
    return 0;
}

constexpr uint32_t kBadHandle = 0x90320005u; /* bit 16 clear: folds to 0x90A80005 */

uint32_t fake_validate(const void *handle, uint32_t magic) {
    if (g_fake->validate_result) return g_fake->validate_result;
    for (const FakeManager::Handle &h : g_fake->live)
        if (h.object == handle) return h.magic == magic ? 0 : kBadHandle;
    return kBadHandle;
}

uint32_t fake_handle_add(void *, void *object, uint32_t magic, veltra_handle_delete_fn cb) {
    g_fake->live.push_back({object, magic, cb});
    return 0;
}

uint32_t fake_handle_release(void *handle) {
    if (g_fake->handle_release_result) return g_fake->handle_release_result;
    auto &live = g_fake->live;
    for (auto it = live.begin(); it != live.end(); ++it) {
        if (it->object != handle) continue;
        FakeManager::Handle h = *it;
        live.erase(it);
        if (g_fake->defer_deletes)
            g_fake->pending.push_back(h);
        else if (h.on_delete)
            h.on_delete(h.object);
        return 0;
    }
    return kBadHandle;
}

uint32_t fake_user_validate(veltra_user_handle_t) { return 0; } /* every user is valid */

uint32_t fake_addref(veltra_user_handle_t) {
    g_fake->addref_calls++;
    return g_fake->addref_result;
}

uint32_t fake_user_release(veltra_user_handle_t) {
    g_fake->user_release_calls++;
    return 0;
}

uint32_t fake_errorinfo_set(uint32_t code, uint32_t source, const char *function,
                            const char *message) {
    g_fake->errors.push_back({code, source, function ? function : "(null)",
                              message ? message : "(null)"});
    return 0;
}

}  // namespace

FakeManager::FakeManager() {
    g_fake = this;
    handle.magic = 0x1EEEEEE1u;
    handle.version = version;
    handle.client_register = fake_register;
    handle.client_release = fake_client_release;
    handle.interface_get = fake_interface_get;
    errorinfo.interface_release = fake_interface_release;
    errorinfo.errorinfo_set = fake_errorinfo_set;
    handles.interface_release = fake_interface_release;
    handles.handle_add = fake_handle_add;
    handles.handle_validate = fake_validate;
    handles.handle_release = fake_handle_release;
    handles.user_handle_validate = fake_user_validate;
    users.interface_release = fake_interface_release;
    users.user_addref = fake_addref;
    users.user_release = fake_user_release;
    serialization.interface_release = fake_interface_release;
    lists.interface_release = fake_interface_release;
}

FakeManager::~FakeManager() { g_fake = nullptr; }

void FakeManager::run_deletes() {
    std::vector<Handle> due;
    due.swap(pending);
    for (const Handle &h : due)
        if (h.on_delete) h.on_delete(h.object);
}

namespace {
std::mutex g_log_mutex;
std::vector<LogLine> g_log;

void capture(int32_t line, const char *source, uint32_t level, uint32_t code, const char *format,
             ...) {
    char text[512] = "(null)";
    if (format) {
        va_list ap;
        va_start(ap, format);
        vsnprintf(text, sizeof text, format, ap);
        va_end(ap);
    }
    std::lock_guard<std::mutex> g(g_log_mutex);
    g_log.push_back({line, source ? source : "(null)", level, code, text});
}
}  // namespace

LogCapture::LogCapture(uint32_t mask) {
    clear();
    veltra_manager_log_install(capture, mask);
}
LogCapture::~LogCapture() { veltra_manager_log_install(nullptr, 0); }
std::vector<LogLine> LogCapture::lines() const {
    std::lock_guard<std::mutex> g(g_log_mutex);
    return g_log;
}
void LogCapture::clear() {
    std::lock_guard<std::mutex> g(g_log_mutex);
    g_log.clear();
}
std::vector<LogLine> LogCapture::at_level(uint32_t level) const {
    std::vector<LogLine> out;
    for (const LogLine &l : lines())
        if (l.level == level) out.push_back(l);
    return out;
}

}  // namespace vt
