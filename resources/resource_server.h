#pragma once
// Resource identifiers of the server layer.
