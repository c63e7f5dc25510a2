// The calls the item model makes into the slave library and the OPC client
// service, gathered in one table so that the program uses the real libraries
// and tests can watch or replace any of them.
#pragma once

#include "ostrand.h"
#include "pellacor.h"

#include <cstdint>

namespace quorvane {

struct ModelServices {
    // Slave library: data blocks over the point map's memory.
    int32_t (*DefineDataBlock)(uint8_t slave_id, uint8_t point_type, uint16_t start_address, uint16_t count,
                               void* data) = &::DefineDataBlock;
    int32_t (*RemoveDataBlock)(int32_t handle) = &::RemoveDataBlock;
    // Both words of a FLOAT, in every block that holds them, as one update.
    int32_t (*StoreDataBlockWords)(const PellacorWordStore* stores, int32_t count) = &::StoreDataBlockWords;
    // Whether the links answer requests for a slave id at all.
    int32_t (*ActivateSlaveId)(uint8_t slave_id, int32_t active) = &::ActivateSlaveId;

    // OPC client service: items and groups at the server.
    int32_t (*AddItem)(int32_t server, int32_t group, const char* item_id) = &::AddItem;
    int32_t (*RemoveItem)(int32_t server, int32_t group, int32_t item) = &::RemoveItem;
    int32_t (*RemoveGroup)(int32_t server, int32_t group) = &::RemoveGroup;
    int32_t (*WriteItem)(int32_t server, int32_t group, int32_t item, VARIANT* value, int32_t mode) = &::WriteItem;
    // Why the last call on this thread answered as it did (the status name).
    int32_t (*GetLastStatusName)(char* buffer, int32_t size) = &::GetLastStatusName;
};

} // namespace quorvane
