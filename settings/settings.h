#pragma once
// The program's two remembered values: the registry in the product, a small
// file store natively. Every operation opens and closes its key itself.
#include <cstdint>
#include <string>

inline constexpr const char* SETTINGS_KEY = "Software\\Duzavod\\Daveridur";
inline constexpr uint32_t SETTING_TEXT = 1;  // REG_SZ

// 1 on success, 0 otherwise. A text is stored with its terminator.
int write_setting_text(const char* key, const char* name, const char* text);
int write_setting(const char* key, const char* name, const void* data, uint32_t size,
                  uint32_t type);

// Read at most size bytes; a value larger than that is a failed read. The
// stored type is returned through type and not checked.
int read_setting_text(const char* key, const char* name, char* buffer, uint32_t size);
int read_setting(const char* key, const char* name, void* buffer, uint32_t size, uint32_t* type);

// A folder or file name, UTF-8, as text (REG_SZ) that keeps every character.
// Reads accept values written by write_setting_text; a value longer than
// 1023 characters is a failed read.
bool write_setting_path(const char* key, const char* name, const std::string& utf8);
bool read_setting_path(const char* key, const char* name, std::string* utf8);

// The user name every new card starts with: the last one confirmed
// ("LastAccount"), or "admin". Read from the store at every call.
std::string default_account();

// Native store only: the folder that holds the values (tests use a temporary
// one). The default is $HOME/.config/daveridur.
void set_settings_folder(const char* folder);

// Where batch reports are kept (UTF-8): %LOCALAPPDATA%\Daveridur\Reports in
// the product, "reports" in the settings folder natively. Not created here.
std::string reports_folder();
