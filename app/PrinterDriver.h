// The application's drivers: one per model of the model table. Fills
// PAPPL's driver data (media, tracking, darkness, speed, label modes,
// raster types) and the vendor attributes from the model's row.
#pragma once

#include <pappl/pappl.h>

#include <string>
#include <vector>

namespace tavel {

// The driver list for papplMainloop / papplSystemSetPrinterDrivers.
std::vector<pappl_pr_driver_t>& DriverList();

// PAPPL's driver callback.
bool SetupDriver(pappl_system_t* system, const char* driverName, const char* deviceUri,
                 const char* deviceId, pappl_pr_driver_data_t* data, ipp_t** attrs,
                 void* context);

}  // namespace tavel
