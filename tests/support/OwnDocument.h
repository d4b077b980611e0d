#pragma once
// A document on a configuration of its own, as the application pairs them.
#include "Configuration.h"
#include "OPCS_Doc.h"

struct ConfigurationHolder {
    Configuration configuration;
};

// The configuration is made first and goes last.
class OwnDocument : private ConfigurationHolder, public OPCS_Doc {
public:
    OwnDocument() : OPCS_Doc(ConfigurationHolder::configuration) {}
};
