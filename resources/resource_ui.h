#pragma once
// Resource identifiers of the ui layer.
