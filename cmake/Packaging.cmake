# Installation layout and packages.
