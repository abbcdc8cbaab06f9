"""Media: image files (finding, decoding, reading, writing), frame sources
(images, folders, globs, videos, cameras, streams) and video output.
Nothing here knows about detections."""
