"""Reading and drawing the incidents written by incident_recorder."""
