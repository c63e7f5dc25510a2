// The C entry points of the service; each forwards to the one Service.

#include "ostrand.h"
#include "events.h"
#include "service.h"

using ostrand::Service;

extern "C" {

int32_t OstrandInitialize(void) { return Service::instance().initialize(); }
void OstrandUninitialize(void) { Service::instance().uninitialize(); }

int32_t ConnectServer(const char* machine, const char* server, int32_t flags) {
    return Service::instance().connect(machine, server, (flags & OSTRAND_CONNECT_KEEP_TRYING) != 0);
}
void SetEventCallback(EventCallback callback) { ostrand::set_event_callback(callback); }
int32_t EnableDataCallback(int32_t server, DataCallback callback) {
    return Service::instance().enable_callback(server, callback);
}
int32_t DisconnectServer(int32_t server) { return Service::instance().disconnect(server); }
int32_t GetServerCount(int32_t mode, const char* machine) { return Service::instance().server_count(mode, machine); }
int32_t GetServerName(int32_t index, char* buffer, int32_t size) {
    return Service::instance().server_name(index, buffer, size);
}
int32_t GetServerStatus(int32_t server, ServerStatus* status, int32_t vendor_size) {
    return Service::instance().status(server, status, vendor_size);
}
int32_t AddGroup(int32_t server, const char* name, int32_t* update_rate, float* deadband) {
    return Service::instance().add_group(server, name, update_rate, deadband);
}
int32_t RemoveGroup(int32_t server, int32_t group) { return Service::instance().remove_group(server, group); }
int32_t AddItem(int32_t server, int32_t group, const char* item_id) {
    return Service::instance().add_item(server, group, item_id);
}
int32_t RemoveItem(int32_t server, int32_t group, int32_t item) {
    return Service::instance().remove_item(server, group, item);
}
int32_t WriteItem(int32_t server, int32_t group, int32_t item, VARIANT* value, int32_t mode) {
    return Service::instance().write_item(server, group, item, value, mode);
}
int32_t GetServerHealth(int32_t server, ServerHealth* health) { return Service::instance().health(server, health); }
int32_t GetItemProperties(int32_t server, int32_t group, int32_t item, char* type, int32_t size, int32_t* access) {
    return Service::instance().item_properties(server, group, item, type, size, access);
}
int32_t BrowseMoveTo(int32_t server, const char* path) { return Service::instance().browse_move_to(server, path); }
int32_t BrowseCount(int32_t server, int32_t type) { return Service::instance().browse_count(server, type); }
int32_t BrowseName(int32_t server, int32_t index, char* buffer, int32_t size) {
    return Service::instance().browse_name(server, index, buffer, size);
}
int32_t BrowseItemId(int32_t server, const char* leaf, char* buffer, int32_t size) {
    return Service::instance().browse_item_id(server, leaf, buffer, size);
}
int32_t GetLastStatusName(char* buffer, int32_t size) { return ostrand::last_status_name(buffer, size); }
int32_t QueryOrganization(int32_t server, uint16_t* organization) {
    return Service::instance().query_organization(server, organization);
}

} // extern "C"
