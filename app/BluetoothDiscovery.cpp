// The paired printers BlueZ knows, read from its object tree over a private
// connection to the system bus, and which family a device's name belongs to.
#include "app/BluetoothDiscovery.h"

#include <dbus/dbus.h>

#include <algorithm>
#include <chrono>
#include <cctype>
#include <cstdlib>
#include <cstring>

namespace tavel {
namespace {

constexpr const char* kBlueZService = "org.bluez";
constexpr const char* kDeviceInterface = "org.bluez.Device1";
constexpr const char* kManagedObjectsSignature = "a{oa{sa{sv}}}";
// Far beyond any machine's devices and their properties: a reply larger
// than this is not read further.
constexpr int kMaxObjects = 4096;
constexpr int kMaxInterfaces = 64;
constexpr int kMaxProperties = 256;
constexpr int kMaxUuids = 256;
// Longer names can't be Bluetooth names (at most 248 bytes), nor ours.
constexpr size_t kMaxNameBytes = 248;
constexpr size_t kMaxBusAddress = 1024;
constexpr int kMaxHandshakeRounds = 64;  // a handshake takes a few

// Bluetooth names of the Paperang family, lower case.
const char* const kPaperangNames[] = {"paperang", "miaomiaoji", "paperang_p1", "paperang_p2",
                                      "paperang_p2s"};
// PeriPage names are "PeriPage+XXXX" or "PeriPage_XXXX", XXXX the end of
// the printer's address.
constexpr const char kPeriPagePrefix[] = "peripage";
constexpr size_t kPeriPageSuffixDigits = 4;

std::string Trimmed(const std::string& name) {
  const char* kSpace = " \t\r\n";
  const size_t first = name.find_first_not_of(kSpace);
  if (first == std::string::npos) return "";
  return name.substr(first, name.find_last_not_of(kSpace) - first + 1);
}

std::string Folded(const std::string& name) {
  std::string out = Trimmed(name);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// The "+" models print 576 dots across and the "_" models 384. Both are
// PeriPage: the only PeriPage driver is a 384-dot one, which prints the
// left 384 dots of a "+" model's line, so such a printer still prints.
bool PeriPageName(const std::string& folded) {
  const size_t prefix = sizeof kPeriPagePrefix - 1;
  if (folded.size() != prefix + 1 + kPeriPageSuffixDigits ||
      folded.compare(0, prefix, kPeriPagePrefix) != 0 ||
      (folded[prefix] != '+' && folded[prefix] != '_'))
    return false;
  return std::all_of(folded.begin() + static_cast<long>(prefix) + 1, folded.end(),
                     [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; });
}

struct DeviceProperties {
  std::string address, name, alias;
  bool paired = false;
  std::vector<std::string> uuids;
};

// The string or boolean in a variant; false when it holds another type.
bool VariantString(DBusMessageIter* variant, std::string* out) {
  DBusMessageIter value;
  dbus_message_iter_recurse(variant, &value);
  if (dbus_message_iter_get_arg_type(&value) != DBUS_TYPE_STRING) return false;
  const char* text = nullptr;
  dbus_message_iter_get_basic(&value, &text);
  if (!text || std::strlen(text) > kMaxNameBytes) return false;
  *out = text;
  return true;
}

bool VariantBool(DBusMessageIter* variant) {
  DBusMessageIter value;
  dbus_message_iter_recurse(variant, &value);
  if (dbus_message_iter_get_arg_type(&value) != DBUS_TYPE_BOOLEAN) return false;
  dbus_bool_t flag = FALSE;
  dbus_message_iter_get_basic(&value, &flag);
  return flag != FALSE;
}

void VariantStrings(DBusMessageIter* variant, std::vector<std::string>* out) {
  DBusMessageIter array, item;
  dbus_message_iter_recurse(variant, &array);
  if (dbus_message_iter_get_arg_type(&array) != DBUS_TYPE_ARRAY ||
      dbus_message_iter_get_element_type(&array) != DBUS_TYPE_STRING)
    return;
  dbus_message_iter_recurse(&array, &item);
  for (int i = 0; i < kMaxUuids && dbus_message_iter_get_arg_type(&item) == DBUS_TYPE_STRING;
       ++i) {
    const char* text = nullptr;
    dbus_message_iter_get_basic(&item, &text);
    if (text) out->push_back(text);
    dbus_message_iter_next(&item);
  }
}

// One device's a{sv}; the reply's signature was checked as a whole.
DeviceProperties ReadDevice(DBusMessageIter* properties) {
  DeviceProperties device;
  DBusMessageIter entry;
  dbus_message_iter_recurse(properties, &entry);
  for (int i = 0; i < kMaxProperties && dbus_message_iter_get_arg_type(&entry) ==
                                            DBUS_TYPE_DICT_ENTRY;
       ++i, dbus_message_iter_next(&entry)) {
    DBusMessageIter field;
    dbus_message_iter_recurse(&entry, &field);
    const char* key = nullptr;
    dbus_message_iter_get_basic(&field, &key);
    dbus_message_iter_next(&field);
    if (!key) continue;
    if (std::strcmp(key, "Address") == 0) VariantString(&field, &device.address);
    if (std::strcmp(key, "Name") == 0) VariantString(&field, &device.name);
    if (std::strcmp(key, "Alias") == 0) VariantString(&field, &device.alias);
    if (std::strcmp(key, "Paired") == 0) device.paired = VariantBool(&field);
    if (std::strcmp(key, "UUIDs") == 0) VariantStrings(&field, &device.uuids);
  }
  return device;
}

void Keep(const DeviceProperties& device, std::vector<PairedPrinter>* found) {
  if (!device.paired || device.address.empty()) return;
  // The printer's own name first; an alias the administrator gave it next.
  for (const std::string* name : {&device.name, &device.alias})
    if (const std::optional<Family> family = BluetoothFamily(*name, device.uuids)) {
      found->push_back({device.address, Trimmed(*name), *family});
      return;
    }
}

bool ReadObjects(DBusMessage* reply, std::vector<PairedPrinter>* found) {
  if (!dbus_message_has_signature(reply, kManagedObjectsSignature)) return false;
  DBusMessageIter top, object;
  dbus_message_iter_init(reply, &top);
  dbus_message_iter_recurse(&top, &object);
  for (int i = 0; i < kMaxObjects && dbus_message_iter_get_arg_type(&object) ==
                                         DBUS_TYPE_DICT_ENTRY;
       ++i, dbus_message_iter_next(&object)) {
    DBusMessageIter pathAndInterfaces, interface;
    dbus_message_iter_recurse(&object, &pathAndInterfaces);
    dbus_message_iter_next(&pathAndInterfaces);
    dbus_message_iter_recurse(&pathAndInterfaces, &interface);
    for (int j = 0; j < kMaxInterfaces && dbus_message_iter_get_arg_type(&interface) ==
                                              DBUS_TYPE_DICT_ENTRY;
         ++j, dbus_message_iter_next(&interface)) {
      DBusMessageIter nameAndProperties;
      dbus_message_iter_recurse(&interface, &nameAndProperties);
      const char* name = nullptr;
      dbus_message_iter_get_basic(&nameAndProperties, &name);
      dbus_message_iter_next(&nameAndProperties);
      if (name && std::strcmp(name, kDeviceInterface) == 0)
        Keep(ReadDevice(&nameAndProperties), found);
    }
  }
  return true;
}

// A bus or a BlueZ that is not there is no failure: most machines have
// no Bluetooth.
bool Absent(const DBusError& error) {
  return dbus_error_has_name(&error, DBUS_ERROR_NO_SERVER) ||
         dbus_error_has_name(&error, DBUS_ERROR_FILE_NOT_FOUND) ||
         dbus_error_has_name(&error, DBUS_ERROR_SERVICE_UNKNOWN) ||
         dbus_error_has_name(&error, DBUS_ERROR_NAME_HAS_NO_OWNER);
}

// dbus_bus_register's Hello, within the time limit: libdbus's own waits
// 25 seconds for a bus that takes the connection and never answers.
bool Register(DBusConnection* bus, int limitMs, DBusError* error) {
  // Nor does a blocking call bound the handshake before it: that is done
  // here, a bounded read or write at a time.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
  for (int round = 0; !dbus_connection_get_is_authenticated(bus); ++round) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0 || round >= kMaxHandshakeRounds || !dbus_connection_get_is_connected(bus)) {
      dbus_set_error_const(error, DBUS_ERROR_TIMEOUT, "the system bus did not answer");
      return false;
    }
    dbus_connection_read_write(bus, static_cast<int>(left));
  }
  DBusMessage* hello = dbus_message_new_method_call(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS,
                                                    DBUS_INTERFACE_DBUS, "Hello");
  if (!hello) return false;
  DBusMessage* reply = dbus_connection_send_with_reply_and_block(bus, hello, limitMs, error);
  dbus_message_unref(hello);
  if (!reply) return false;
  const char* name = nullptr;
  const bool ok = dbus_message_get_args(reply, error, DBUS_TYPE_STRING, &name, DBUS_TYPE_INVALID) &&
                  name && dbus_bus_set_unique_name(bus, name);
  dbus_message_unref(reply);
  return ok;
}

void Note(std::string* why, const DBusError& error) {
  if (why && !Absent(error))
    *why = std::string("BlueZ gave no list of devices: ") + (error.message ? error.message : "");
}

}  // namespace

std::optional<Family> BluetoothFamily(const std::string& name,
                                      const std::vector<std::string>& uuids) {
  if (name.size() > kMaxNameBytes) return std::nullopt;
  const std::string folded = Folded(name);
  std::optional<Family> family;
  for (const char* known : kPaperangNames)
    if (folded == known) family = Family::kPaperang;
  if (!family && PeriPageName(folded)) family = Family::kPeriPage;
  if (!family || uuids.empty()) return family;
  const bool serial = std::any_of(uuids.begin(), uuids.end(), [](const std::string& uuid) {
    return Folded(uuid) == kSerialPortUuid;
  });
  return serial ? family : std::nullopt;
}

std::vector<PairedPrinter> FindPairedPrinters(std::string* why, int limitMs) {
  std::vector<PairedPrinter> found;
  const char* variable = std::getenv(kSystemBusVariable);
  const std::string address = variable && *variable ? variable : kSystemBusDefault;
  if (address.size() > kMaxBusAddress) {
    if (why) *why = std::string("The bus address in ") + kSystemBusVariable + " is too long.";
    return found;
  }
  DBusError error;
  dbus_error_init(&error);
  DBusConnection* bus = dbus_connection_open_private(address.c_str(), &error);
  if (!bus) {
    Note(why, error);
    dbus_error_free(&error);
    return found;
  }
  // A bus that goes away must not end the server.
  dbus_connection_set_exit_on_disconnect(bus, FALSE);
  if (Register(bus, limitMs, &error)) {
    if (DBusMessage* call = dbus_message_new_method_call(
            kBlueZService, "/", "org.freedesktop.DBus.ObjectManager", "GetManagedObjects")) {
      if (DBusMessage* reply =
              dbus_connection_send_with_reply_and_block(bus, call, limitMs, &error)) {
        if (!ReadObjects(reply, &found) && why)
          *why = "BlueZ answered with something other than its list of devices.";
        dbus_message_unref(reply);
      } else {
        Note(why, error);
      }
      dbus_message_unref(call);
    }
  } else {
    Note(why, error);
  }
  dbus_error_free(&error);
  dbus_connection_close(bus);
  dbus_connection_unref(bus);
  std::sort(found.begin(), found.end(),
            [](const PairedPrinter& a, const PairedPrinter& b) { return a.address < b.address; });
  return found;
}

}  // namespace tavel
