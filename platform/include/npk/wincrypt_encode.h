// Names, extensions and the structure encoders and decoders.
#pragma once
