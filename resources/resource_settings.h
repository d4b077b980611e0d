#pragma once
// Resource identifiers of the settings layer.
