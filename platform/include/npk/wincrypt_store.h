// Certificate contexts, stores and their properties.
#pragma once
