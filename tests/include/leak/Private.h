// Stands for a header of the runtime's own.
#pragma once
