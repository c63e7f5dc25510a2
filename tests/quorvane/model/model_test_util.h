// Small builders shared by the item model tests.
#pragma once

#include "model/conversion.h"
#include "model/opc_item.h"

namespace quorvane::test {

inline PointMapping Mapped(uint8_t slave, int32_t type, uint16_t address, uint16_t dataType) {
    PointMapping m;
    m.slaveId = slave;
    m.pointType = type;
    m.address = address;
    m.dataType = dataType;
    return m;
}

// A VARIANT of type `vt` whose union member `field` holds `value`.
template <typename T> CVariant MakeVariant(VARTYPE vt, T VARIANT::*field, T value) {
    CVariant v;
    v.Ptr()->vt = vt;
    v.Ptr()->*field = value;
    return v;
}

} // namespace quorvane::test
