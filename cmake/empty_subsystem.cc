// Placeholder translation unit for a subsystem without sources yet.
