#pragma once
// How a management query is started and how long its results are waited for.

#include <windows.h>

#include <wbemidl.h>

#include <cstdint>

namespace lumarobase {

// The longest a query's results are waited for, all results together: a
// wedged management service must not hold the host's start-up.
constexpr uint32_t kWmiQueryTimeoutMs = 3000;

// Starts a query as IWbemServices::ExecQuery does; tests substitute one whose
// results never come.
using WmiExecQuery = HRESULT (*)(IWbemServices* services, BSTR language, BSTR query, LONG flags,
                                 IEnumWbemClassObject** results);

// Tests only: queries are started through exec from now on; null restores
// ExecQuery. Set it while no query runs.
void SetWmiExecQueryForTesting(WmiExecQuery exec);

}  // namespace lumarobase
