// Dial-up on Windows through the remote-access service (rasapi32), default phonebook.
#include <windows.h>
#include <ras.h>
#include <raserror.h>

#include <array>
#include <cstring>

#include "dialup/remote_access.h"

namespace quelma::dialup {
namespace {

class RasRemoteAccess final : public RemoteAccess {
 public:
  std::vector<std::string> entryNames() override {
    // Room for kMaxEntries records; a phonebook with more reports ERROR_BUFFER_TOO_SMALL,
    // and the names that did fit are not trusted then: no entries at all.
    std::array<RASENTRYNAMEA, kMaxEntries> entries{};
    entries[0].dwSize = sizeof(RASENTRYNAMEA);
    DWORD bytes = sizeof entries;
    DWORD count = 0;
    if (RasEnumEntriesA(nullptr, nullptr, entries.data(), &bytes, &count) != 0) return {};
    std::vector<std::string> names;
    for (DWORD i = 0; i < count && i < entries.size(); ++i) {
      names.emplace_back(entries[i].szEntryName, strnlen(entries[i].szEntryName, sizeof entries[i].szEntryName));
    }
    return names;
  }

  ConnectionHandle firstActiveConnection() override {
    RASCONNA connection{};
    connection.dwSize = sizeof connection;
    DWORD bytes = sizeof connection;
    DWORD count = 0;
    // More than one active connection does not fit: treated as a failed enumeration.
    if (RasEnumConnectionsA(&connection, &bytes, &count) != 0 || count == 0) return 0;
    return reinterpret_cast<ConnectionHandle>(connection.hrasconn);
  }

  std::optional<SavedDialParameters> savedParameters(const std::string& entry) override {
    RASDIALPARAMSA params{};
    if (!Prepare(params, entry)) return std::nullopt;
    BOOL hasPassword = FALSE;
    if (RasGetEntryDialParamsA(nullptr, &params, &hasPassword) != 0) return std::nullopt;
    SecureZeroMemory(params.szPassword, sizeof params.szPassword);
    return SavedDialParameters{hasPassword != FALSE};
  }

  DialOutcome dial(const std::string& entry, const std::string& phoneNumber) override {
    RASDIALPARAMSA params{};
    BOOL hasPassword = FALSE;
    if (!Prepare(params, entry) || RasGetEntryDialParamsA(nullptr, &params, &hasPassword) != 0) return {};
    if (phoneNumber.size() >= sizeof params.szPhoneNumber) return {};
    std::memcpy(params.szPhoneNumber, phoneNumber.c_str(), phoneNumber.size() + 1);
    HRASCONN connection = nullptr;
    const DWORD result = RasDialA(nullptr, nullptr, &params, 0, nullptr, &connection);
    SecureZeroMemory(params.szPassword, sizeof params.szPassword);
    return {result == 0, reinterpret_cast<ConnectionHandle>(connection)};
  }

  void hangUp(ConnectionHandle connection) override {
    if (connection != 0) RasHangUpA(reinterpret_cast<HRASCONN>(connection));
  }

 private:
  static bool Prepare(RASDIALPARAMSA& params, const std::string& entry) {
    std::memset(&params, 0, sizeof params);
    params.dwSize = sizeof params;
    if (entry.size() >= sizeof params.szEntryName) return false;
    std::memcpy(params.szEntryName, entry.c_str(), entry.size() + 1);
    return true;
  }
};

}  // namespace

std::unique_ptr<RemoteAccess> CreateSystemRemoteAccess() { return std::make_unique<RasRemoteAccess>(); }

}  // namespace quelma::dialup
