// The icons, menu and about box of the server, as compiled-in resources.
#pragma once

void RegisterOrveResources();
