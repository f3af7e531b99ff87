/* A manager handle built by the test itself, as an independent client would bring: every
 * operation can be told to fail with a chosen code, every interface counts its references, the
 * handle manager can hold delete callbacks back, and error information given through the
 * interface is kept apart from the manager's import. Only the memory, error-information and
 * log imports still come from the stand-in library. */
#ifndef VELTRA_FAKE_MANAGER_H
#define VELTRA_FAKE_MANAGER_H

#include <stdint.h>

#include <string>
#include <vector>

#include "veltra_manager.h"

namespace vt {

struct FakeManager {
    /* Scripted results; 0 = succeed. */
    uint32_t register_result = 0;
    uint32_t release_result = 0;
    /* interface_get fails with interface_result for the interface of this name (empty: none). */
    std::string failing_interface;
    uint32_t interface_result = 0x90310003u;
    /* handle_validate answers this for every handle when nonzero; else it accepts exactly the
     * registered handles of the right magic. */
    uint32_t validate_result = 0;
    uint32_t handle_release_result = 0; /* handle_release's answer; nonzero keeps the handle */
    uint32_t addref_result = 0;         /* user_addref's answer */
    /* handle_release ends the handle but keeps its delete callback for run_deletes(). */
    bool defer_deletes = false;
    /* Lookups of other names (datasources) go to this manager. */
    const veltra_manager_t *fallback = nullptr;

    /* Observations. */
    uint32_t register_calls = 0;
    uint32_t release_calls = 0;
    uint32_t registered_package = 0;
    std::string registered_name;
    veltra_client_shutdown_fn shutdown_callback = nullptr;
    std::vector<std::string> interfaces_got;
    std::vector<std::string> interfaces_released;
    uint32_t addref_calls = 0;
    uint32_t user_release_calls = 0;
    /* Error information given through the error-information interface. */
    struct Recorded {
        uint32_t code, source;
        std::string function, message; /* "(null)" for a null message */
    };
    std::vector<Recorded> errors;
    /* Registered handles (object, magic, delete callback) and callbacks held back. */
    struct Handle {
        void *object;
        uint32_t magic;
        veltra_handle_delete_fn on_delete;
    };
    std::vector<Handle> live;
    std::vector<Handle> pending;
    void run_deletes();

    veltra_manager_t handle{};
    veltra_errorinfo_interface_t errorinfo{};
    veltra_handlemanager_interface_t handles{};
    veltra_userinfo_interface_t users{};
    veltra_serialization_interface_t serialization{};
    veltra_listmanager_interface_t lists{};
    char version[16] = "3.05.4";

    /* Builds the tables and makes this the fake that the static trampolines answer for. */
    FakeManager();
    ~FakeManager();
    FakeManager(const FakeManager &) = delete;
    FakeManager &operator=(const FakeManager &) = delete;

    int held_interfaces() const {
        return static_cast<int>(interfaces_got.size()) - static_cast<int>(interfaces_released.size());
    }
};

/* Log lines captured by capture_log_callback. */
struct LogLine {
    int32_t line;
    std::string source; /* "(null)" for a null source */
    uint32_t level;
    uint32_t code;
    std::string text;   /* the formatted message, "(null)" for a null format */
};

/* Installs a capturing log callback with every package's mask set to `mask`; uninstalls on
 * destruction. */
class LogCapture {
public:
    explicit LogCapture(uint32_t mask = 0xFFFFFFFFu);
    ~LogCapture();
    std::vector<LogLine> lines() const;
    void clear();
    /* Lines whose level is `level`. */
    std::vector<LogLine> at_level(uint32_t level) const;
};

}  // namespace vt

#endif
