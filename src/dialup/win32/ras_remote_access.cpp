// Dial-up on Windows through the remote-access service (rasapi32), default phonebook.
#include <windows.h>
#include <ras.h>
#include <raserror.h>

#include <type_traits>
#include <vector>
#include <cstring>

#include "dialup/remote_access.h"

namespace quelma::dialup {
namespace {

class RasRemoteAccess final : public RemoteAccess {
 public:
  std::vector<std::string> entryNames() override {
    // Room for kMaxEntries records first; a longer phonebook says how much it needs, and the
    // list is made that long: the service never writes past it, and no entry is left out.
    std::vector<RASENTRYNAMEA> entries(kMaxEntries);
    DWORD count = 0;
    DWORD result = Enumerate(entries, count);
    if (result == ERROR_BUFFER_TOO_SMALL) result = Enumerate(entries, count);
    if (result != 0) return {};
    std::vector<std::string> names;
    for (DWORD i = 0; i < count && i < entries.size(); ++i) {
      names.emplace_back(entries[i].szEntryName, strnlen(entries[i].szEntryName, sizeof entries[i].szEntryName));
    }
    return names;
  }

  ConnectionHandle firstActiveConnection() override {
    std::vector<RASCONNA> connections(4);  // one link in practice; a longer list grows
    DWORD count = 0;
    DWORD result = Enumerate(connections, count);
    if (result == ERROR_BUFFER_TOO_SMALL) result = Enumerate(connections, count);
    if (result != 0 || count == 0) return 0;
    return reinterpret_cast<ConnectionHandle>(connections[0].hrasconn);
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
  // One enumeration into `records`; on ERROR_BUFFER_TOO_SMALL `records` has grown to the size
  // the service asked for.
  template <typename Record>
  static DWORD Enumerate(std::vector<Record>& records, DWORD& count) {
    for (auto& r : records) r.dwSize = sizeof(Record);
    DWORD bytes = static_cast<DWORD>(records.size() * sizeof(Record));
    DWORD result = 0;
    if constexpr (std::is_same_v<Record, RASENTRYNAMEA>) {
      result = RasEnumEntriesA(nullptr, nullptr, records.data(), &bytes, &count);
    } else {
      result = RasEnumConnectionsA(records.data(), &bytes, &count);
    }
    if (result == ERROR_BUFFER_TOO_SMALL) records.resize(bytes / sizeof(Record) + 1);
    return result;
  }

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
